// Probability tables of the mutual-information step modules: joint and marginal histograms
// (plain and weighted), sums over one dimension and the Shannon entropy, on double images.
//
// Intensities are bin numbers: a value v falls into bin trunc(v). A joint table of A and B
// is nA x nB (A's bin along x, B's along y). N is the element count of the first image;
// each plain histogram adds 1/N per element, each weighted one adds W_k and is divided by N
// at the end. A bin count of 0 asks for trunc(max) + 1 bins, the maximum taken over that
// image (the library's statistics error on an empty image).
//
// Values whose bin trunc(v) lies outside [0, n), and NaN, are not counted: callers make every
// value a valid bin, and a stray one never writes outside the table.
#pragma once

#include <cmath>

#include "bridge/cimg.h"

// Bin trunc(v) of v in a table of n bins, or -1 when trunc(v) is not in [0, n) (or v is NaN).
inline long BinOf(double v, unsigned n) { return (v > -1.0 && v < double(n)) ? long(v) : -1; }

// Joint table of A and B: H(trunc(A_k), trunc(B_k)) += 1/N. B holds at least A's elements.
CImg<double> HistJnt(const CImg<double>& A, const CImg<double>& B, unsigned nA, unsigned nB);

// Weighted joint table: H(trunc(A_k), trunc(B_k)) += W_k, then every element / N.
CImg<double> HistJntWt(const CImg<double>& A, const CImg<double>& B, const CImg<double>& W,
                       unsigned nA, unsigned nB);

// Marginal table of A, n x 1: h(trunc(A_k)) += 1/N.
CImg<double> HistMrg(const CImg<double>& A, unsigned n);

// Weighted marginal table, n x 1: h(trunc(A_k)) += W_k, then every element / N.
CImg<double> HistMrgWt(const CImg<double>& A, const CImg<double>& W, unsigned n);

// A summed over one dimension: d = 1 x, 2 y, 3 z, 4 channels, any other value x. The result
// has A's dimensions with the summed one set to 1.
CImg<double> SumDim(const CImg<double>& A, int d);

// -sum of v ln v over the elements v > 0 of P.
double entropy(const CImg<double>& P);

// True when every element of A is finite and not negative (a usable bin number); max receives
// the largest element (0 for an empty A).
bool ValidBins(const CImg<double>& A, double& max);

// The weights of the mutual-information derivatives of a smoothed joint table P (nA x nB)
// with marginals pA (nA x 1) and pB (1 x nB): L(x, y) = ln(P(x, y) / (pA(x) pB(y))) + 1 where
// P(x, y) != 0, and 0 elsewhere. An empty pA counts as 1 everywhere.
CImg<double> MiWeights(const CImg<double>& P, const CImg<double>& pA, const CImg<double>& pB);

// The weight of one cell: ln(v / (pa pb)) + 1 for v != 0, else 0.
inline double MiWeight(double v, double pa, double pb) { return v != 0 ? std::log(v / (pa * pb)) + 1 : 0.0; }

// sum over k of A_k L_k (over the elements the two have in common).
double SumProduct(const CImg<double>& A, const CImg<double>& L);
