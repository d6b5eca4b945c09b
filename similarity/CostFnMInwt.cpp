#include "similarity/CostFnMInwt.h"

#include <cmath>

CCostFnMInwt::CCostFnMInwt(CImgI<float>& r, CImgI<float>& t, int code, CImg<float> Z)
    : CCostFnMI(r, t, code, Z)
{
    const int P = nParams;
    hessWarp.assign(P, P, 1, 1, 0.f);
    hessImg.assign(P, P, 1, 1, 0.f);
}

CCostFnMInwt::~CCostFnMInwt() {}

void CCostFnMInwt::binDDPdf(const CImg<float>& p)
{
    const int n = nBins, last = lastBin, np = nParams > 0 ? nParams : 0;
    const int S = 1 + np + np * np;
    cells.clear(n, S - 1, 0.f, mostCells(2));
    const float w = 1.f / nSamples;
    float* const J = jcbn.data();
    float* const HW = hessWarp.data();
    float* const HI = hessImg.data();
    const int hwW = hessWarp.width(), hiW = hessImg.width();
    // f: centred point, reference gradient and second derivatives (x, y, gx, gy, gxx, gyy, gxy)
    auto bin = [&](const auto& A, int r, int t, const float* f) {
        A.cell(r, t)[0] += w;
        if (r == last) return;   // the move to the next bin and back cancel
        warp.CalcJcbn(jcbn, p, f[0], f[1], f[2], f[3]);
        warp.CalcHess(hessWarp, p, f[0], f[1], f[2], f[3]);
        warp.CalcJcHs(hessImg, p, f[0], f[1], f[4], f[5], f[6]);
        for (int k = 0; k < np; ++k) J[k] *= w;
        hessWarp *= w;
        hessImg *= w;
        float* const d = A.cell(r, t) + 1;
        float* const e = A.cell(r + 1, t) + 1;
        for (int k = 0; k < np; ++k) {
            d[k] -= J[k];
            e[k] += J[k];
        }
        for (int b = 0; b < np; ++b)
            for (int a = 0; a < np; ++a) {
                const float h = HW[a + hwW * b] + HI[a + hiW * b];
                d[np + a + np * b] -= h;
                e[np + a + np * b] += h;
            }
    };
    if (denseCells(S)) {
        acc.setup(n, S, n, false);
        const DenseAccess<> A = DenseAccess<>::of(acc, S);
        walkDD(p, [&](const WalkSample& s) {
            const float f[7] = {s.x, s.y, s.rdx, s.rdy, s.rdxx, s.rdyy, s.rdxy};
            bin(A, binOf(s.r, last), binOf(s.t, last), f);
        });
        acc.emitAll(cells);
        return;
    }
    const SampleGroups& G = groupSamples(p, false);
    recI.resize(G.samples);
    recF.resize(std::size_t(G.samples) * 7);
    int k = 0;
    walkDD(p, [&](const WalkSample& s) {
        const int q = G.slot[k++];
        recI[q] = binOf(s.r, last);
        float* f = recF.data() + std::size_t(q) * 7;
        f[0] = s.x; f[1] = s.y; f[2] = s.rdx; f[3] = s.rdy; f[4] = s.rdxx; f[5] = s.rdyy; f[6] = s.rdxy;
    });
    acc.setup(n, S, 1, true);
    const RowAccess<> A = RowAccess<>::of(acc, S);
    for (int y = 0; y < n; ++y) {
        for (int q = G.first[y], e = G.first[y + 1]; q < e; ++q) bin(A, recI[q], y, recF.data() + std::size_t(q) * 7);
        A.emit(y, cells);
    }
}

void CCostFnMInwt::DDPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf, CImg<float>& d2pdf)
{
    binDDPdf(p);
    const int np = nParams > 0 ? nParams : 0;
    cells.toDense(pdf, 0, 1);
    cells.toDense(dpdf, 1, np);
    cells.toDense(d2pdf, 1 + np, np, np);
}

float CCostFnMInwt::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    switchSamplers(p);
    binDDPdf(p);
    activate();
    const float value = valueOfActive(averages());
    gradientOfActive(g);   // leaves ln(P / margRef) + 1 per cell with P != 0 in logFactor

    if (!H.is_empty()) H.fill(0.f);
    const HistCells& t = *active;
    const int P = nParams > 0 ? nParams : 0;
    const int m = t.size();
    const float* M = margRef.data();
    const long hsize = (long)H.size();
    for (int a = 0; a < P; ++a)
        for (int b = a; b < P; ++b) {
            const long idx = b + (long)P * a;
            if (idx >= hsize) continue;
            float s = H[idx];
            for (int i = 0; i < m; ++i) {
                const float v = pdfOf(i);
                if (v == 0.f) continue;
                const float Mx = M[t.x(i)];
                const float rm = Mx != 0.f ? 1.f / Mx : 0.f;
                const float* d = t.planes(i);
                s = float(s + double((1.f / v - rm) * d[a] * d[b]) + logFactor[i] * d[P + a + P * b]);
            }
            H[idx] = s;
        }
    // mirror: H[j + P i] = H[i + P j] for j < i
    for (int i = 1; i < P; ++i)
        for (int j = 0; j < i; ++j) {
            const long dst = j + (long)P * i, src = i + (long)P * j;
            if (dst < hsize && src < hsize) H[dst] = H[src];
        }
    return value;
}
