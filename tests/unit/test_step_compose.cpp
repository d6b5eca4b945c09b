// The step computations against the slow, literal composition of the tools they are built
// from: every image and list the algorithms name is made, in their order, with WarpToTmp,
// GridXY, JcbnAffine, ListMult, ListTranspose, the histogram tools, the library's gradient
// and the table smoothing. Odd and even templates, warps inside and partly outside the image,
// kernels of one and of several columns, a template of two planes, a template of user size on
// 8-bit intensities, and tables of 12-bit intensities along one side with a 31 x 31 kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "similarity/smooth.h"
#include "steps/tools/affine.h"
#include "steps/tools/hist.h"
#include "steps/tools/mistep.h"
#include "steps/tools/ssdstep.h"

namespace {

using Img = CImg<double>;
using List = CImgList<double>;

// a * b and a + b element by element over the elements the two share, with a's dimensions.
Img times(const Img& a, const Img& b)
{
    Img r(a);
    for (size_t k = 0; k < std::min(r.size(), b.size()); ++k) r[k] *= b[k];
    return r;
}

Img plus(const Img& a, const Img& b)
{
    Img r(a);
    for (size_t k = 0; k < std::min(r.size(), b.size()); ++k) r[k] += b[k];
    return r;
}

// Sum of a * b over the elements the two share.
double dot(const Img& a, const Img& b)
{
    double s = 0;
    for (size_t k = 0; k < std::min(a.size(), b.size()); ++k) s += a[k] * b[k];
    return s;
}

List steepest(const List& XY, const Img& Gx, const Img& Gy)
{
    List SD;
    SD.insert(times(XY[0], Gx)).insert(times(XY[0], Gy)).insert(times(XY[1], Gx));
    SD.insert(times(XY[1], Gy)).insert(Gx).insert(Gy);
    return SD;
}

// [Gxx, Gxy, Gyx, Gyy]: the forward differences of Gx and of Gy.
List secondDiffs(const Img& Gx, const Img& Gy)
{
    List Hg = Gx.get_gradient("xy", 1);
    Gy.get_gradient("xy", 1).move_to(Hg, Hg.size());
    return Hg;
}

// The forward differences (grad) and second differences (Hg) of the side: of T on the template
// side, of I warped onto T's grid by p on the image side.
void sideDiffs(bool onT, const Img& T, const Img& I, const Img& p, List& grad, List& Hg)
{
    if (onT) {
        grad = T.get_gradient("xy", 1);
        Hg = secondDiffs(grad[0], grad[1]);
        return;
    }
    const List g = I.get_gradient("xy", 1);
    const List h = secondDiffs(g[0], g[1]);
    for (const Img& d : g) grad.insert(WarpToTmp(d, T, p));
    for (const Img& d : h) Hg.insert(WarpToTmp(d, T, p));
}

List jhj(const Img& T, const List& Hg)
{
    const List J = JcbnAffine(GridXY(T));
    return ListMult(ListMult(ListTranspose(J, 2, 6), 6, 2, Hg, 2, 2), 6, 2, J, 2, 6);
}

// The table smoothing of the literal composition: the library's convolution, or the same sum
// spread from the table's non-zero cells (for tables of thousands of bins and wide masks).
using Smoothing = Img (*)(const Img&, const Img&);

Img libraryConvolution(const Img& t, const Img& m) { return smoothTable(t, m); }

Img spreadConvolution(const Img& t, const Img& m)
{
    // out(x, y) = sum over (i, j) of m(i, j) t(x + cx - i, y + cy - j), zero outside t.
    Img out(t.width(), t.height(), 1, 1, 0.0);
    const int cx = m.width() / 2, cy = m.height() / 2;
    cimg_forXY(t, sx, sy) {
        const double v = t(sx, sy);
        if (v == 0) continue;
        cimg_forXY(m, i, j) {
            const int x = sx - cx + i, y = sy - cy + j;
            if (x >= 0 && y >= 0 && x < t.width() && y < t.height()) out(x, y) += m(i, j) * v;
        }
    }
    return out;
}

// A mask along the template's bins (horizontal) or the image's (vertical).
Img mask(bool onT, std::initializer_list<double> v)
{
    Img m = onT ? Img(unsigned(v.size()), 1, 1, 1) : Img(1, unsigned(v.size()), 1, 1);
    double* d = m.data();
    for (double x : v) *d++ = x;
    return m;
}

// K drawn one bin in along the side's bins, on a zero canvas `extra` bins longer.
Img canvas(bool onT, const Img& K, int extra)
{
    if (onT) return Img(K.width() + extra, K.height(), 1, 1, 0.0).draw_image(1, 0, K);
    return Img(K.width(), K.height() + extra, 1, 1, 0.0).draw_image(0, 1, K);
}

// Sum over the cells with P != 0 of A (ln(P / (pT pI)) + 1); pT counts 1 when empty.
double weighted(const Img& A, const Img& P, const Img& pT, const Img& pI)
{
    double s = 0;
    cimg_forXY(P, x, y) if (P(x, y) != 0)
        s += A(x, y) * (std::log(P(x, y) / ((pT.is_empty() ? 1.0 : pT[x]) * pI[y])) + 1);
    return s;
}

Img square(const std::vector<double>& v)
{
    Img o(6, 6);
    for (int n = 0; n < 36; ++n) o[n] = v[n];
    return o;
}

// The outputs of the mutual-information step of `side`, composed literally.
std::vector<Img> literalMi(StepSide side, const Img& T, const Img& I, const Img& p, const Img& K,
                           Smoothing smooth = libraryConvolution)
{
    const bool onT = side == StepSide::Template;
    const int Kw = K.width(), Kh = K.height();
    const unsigned nT = unsigned(std::trunc(T.max()) + Kw + (onT ? 2 : 0));
    const unsigned nI = unsigned(std::trunc(I.max()) + Kh + (onT ? 0 : 2));
    const int oT = onT ? (Kw + 1) / 2 : (Kw - 1) / 2;
    const int oI = onT ? (Kh - 1) / 2 : (Kh + 1) / 2;

    Img Iw = WarpToTmp(I, T, p);
    const Img Tb = T + double(oT);
    Iw += double(oI);
    const Img P = smooth(HistJnt(Tb, Iw, nT, nI), K);
    std::vector<Img> out;
    out.emplace_back(1, 1, 1, 1, entropy(SumDim(P, 2)) + entropy(SumDim(P, 1)) - entropy(P));

    const Img Kd = smooth(canvas(onT, K, 1), mask(onT, {-1, 1}));
    List grad, Hg;
    sideDiffs(onT, Tb, I, p, grad, Hg);
    const List SD = steepest(GridXY(Tb), grad[0], grad[1]);
    List dP;
    for (int k = 0; k < 6; ++k) dP.insert(smooth(HistJntWt(Tb, Iw, SD[k], nT, nI), Kd));
    const Img P1 = smooth(P, mask(onT, {0.5, 0.5}));
    const Img pI1 = SumDim(P1, 1), pT1 = onT ? SumDim(P1, 2) : Img();
    Img G(1, 6);
    for (int k = 0; k < 6; ++k) G[k] = weighted(dP[k], P1, pT1, pI1);
    out.push_back(G);

    const List SS = ListMult(SD, 6, 1, SD, 1, 6);
    const List PP = ListMult(dP, 6, 1, dP, 1, 6);
    std::vector<double> o(36);
    if (onT) {
        const Img cm = canvas(onT, SumDim(K, 2), 2);
        const Img Km2 = smooth(cm, mask(onT, {-1, 2, -1})), Km1 = smooth(cm, mask(onT, {-0.5, 0, 0.5}));
        const Img pTs = smooth(HistMrg(Tb, nT), mask(onT, {0.25, 0.5, 0.25}));
        List dpT;
        for (int k = 0; k < 6; ++k) dpT.insert(smooth(HistMrgWt(Tb, SD[k], nT), Km1));
        const List DD = ListMult(dpT, 6, 1, dpT, 1, 6);
        for (int n = 0; n < 36; ++n) {
            const Img B = smooth(HistMrgWt(Tb, SS[n], nT), Km2);
            double s = 0;
            for (unsigned j = 0; j < nT; ++j)
                if (pTs[j] != 0) s += DD[n][j] / pTs[j] + 2 * B[j];
            o[n] = -s;
        }
        out.push_back(square(o));
        for (int n = 0; n < 36; ++n) {
            double s = 0;
            cimg_forXY(P1, x, y) if (P1(x, y) != 0) s += PP[n](x, y) / P1(x, y);
            o[n] = s;
        }
        out.push_back(square(o));
    } else {
        for (int n = 0; n < 36; ++n) {
            double s = 0;
            cimg_forXY(P1, x, y) if (P1(x, y) != 0)
                s += PP[n](x, y) * (1 / P1(x, y) - 1 / pI1[y]);
            o[n] = s;
        }
        out.push_back(square(o));
    }

    const Img c2 = canvas(onT, K, 2);
    const Img K2 = smooth(c2, mask(onT, {-1, 2, -1})), K1 = smooth(c2, mask(onT, {-0.5, 0, 0.5}));
    const List JHJ = jhj(Tb, Hg);
    const Img P2 = smooth(P, mask(onT, {0.25, 0.5, 0.25}));
    const Img pI2 = SumDim(P2, 1), pT2 = onT ? SumDim(P2, 2) : Img();
    for (int n = 0; n < 36; ++n) {
        const Img A = smooth(HistJntWt(Tb, Iw, SS[n], nT, nI), K2);
        const Img C = smooth(HistJntWt(Tb, Iw, JHJ[n], nT, nI), K1);
        o[n] = weighted(plus(A, C), P2, pT2, pI2);
    }
    out.push_back(square(o));
    return out;
}

// The outputs of the squared-difference step of `side`, composed literally.
std::vector<Img> literalSsd(StepSide side, const Img& T, const Img& I, const Img& p)
{
    const bool onT = side == StepSide::Template;
    const Img Iw = WarpToTmp(I, T, p);
    const Img r = onT ? T - Iw : Iw - T;
    List grad, Hg;
    sideDiffs(onT, T, I, p, grad, Hg);
    const List SD = steepest(GridXY(T), grad[0], grad[1]);
    const List SS = ListMult(SD, 6, 1, SD, 1, 6), JHJ = jhj(T, Hg);
    Img G(1, 6), H(6, 6), K(6, 6);
    for (int k = 0; k < 6; ++k) G[k] = dot(SD[k], r);
    for (int m = 0; m < 6; ++m)
        for (int n = 0; n < 6; ++n) {
            H(m, n) = dot(SD[n], SD[m]);
            K(m, n) = dot(plus(JHJ[m + 6 * n], SS[m + 6 * n]), r);
        }
    return {Img(1, 1, 1, 1, dot(r, r)), G, H, K};
}

struct Scene {
    std::string name;
    int w, h, d;               // template
    int W, H;                  // image
    double levels;             // intensities in [0, levels)
    std::vector<double> p;
    Img K;
    double levelsI = 0;        // the image's, when not `levels`
};

Img kernel(int w, int h)
{
    Img K(w, h);
    cimg_forXY(K, x, y) K(x, y) = 0.5 + x + 0.3 * y * y;
    return K / K.sum();
}

// A smooth non-negative pattern with some texture, below `levels`.
double pattern(double x, double y, double levels)
{
    const double v = 0.5 + 0.25 * std::sin(0.37 * x + 0.2) * std::cos(0.29 * y - 0.4) +
                     0.2 * std::sin(0.11 * x * y / 7 + 0.05 * x) + 0.04 * std::cos(1.7 * x + 2.3 * y);
    return std::min(std::max(v, 0.0), 0.999) * levels;
}

std::vector<Scene> scenes()
{
    return {
        {"odd, inside", 9, 7, 1, 24, 21, 6, {0.03, -0.02, 0.04, -0.05, 11.3, 9.6}, kernel(1, 1)},
        {"odd, on pixels", 9, 7, 1, 24, 21, 6, {0, 0, 0, 0, 10, 8}, kernel(1, 3)},
        {"even, partly outside, 3x2 kernel", 8, 6, 1, 20, 24, 7, {0.02, 0.1, -0.04, 0.03, 2.5, 20.4},
         kernel(3, 2)},
        {"even, outside two sides, 2x3 kernel", 10, 8, 1, 16, 15, 9, {-0.08, 0.06, 0.03, -0.05, 13.6, 1.2},
         kernel(2, 3)},
        {"two planes", 8, 6, 2, 20, 18, 5, {0.05, -0.03, 0.04, 0.02, 9.3, 8.7}, kernel(1, 1)},
        {"user size, 8 bits, 3x3 kernel", 40, 30, 1, 96, 80, 256, {0.04, -0.06, 0.05, 0.03, 47.7, 39.2},
         kernel(3, 3)},
    };
}

void sceneImages(const Scene& s, Img& T, Img& I)
{
    I.assign(s.W, s.H);
    cimg_forXY(I, x, y) I(x, y) = pattern(x, y, s.levelsI ? s.levelsI : s.levels);
    T.assign(s.w, s.h, s.d, 1);
    cimg_forXYZ(T, x, y, z) T(x, y, z) = std::floor(pattern(1.05 * x + 7.2 + z, 0.95 * y + 6.1, s.levels));
}

Img params(const std::vector<double>& v)
{
    Img p(1, 6);
    for (int k = 0; k < 6; ++k) p[k] = v[k];
    return p;
}

// Each output within 1e-12 of the literal one, relative to the literal output's largest entry.
void expectSame(const Img& got, const Img& want, const std::string& what)
{
    ASSERT_EQ(got.width(), want.width()) << what;
    ASSERT_EQ(got.height(), want.height()) << what;
    double scale = 0;
    for (size_t k = 0; k < want.size(); ++k) scale = std::max(scale, std::fabs(want[k]));
    ASSERT_GT(scale, 0) << what;
    for (size_t k = 0; k < want.size(); ++k)
        EXPECT_NEAR(got[k], want[k], 1e-12 * scale) << what << " [" << k << "]";
}

}  // namespace

TEST(StepCompose, MutualInformationStepsEqualTheLiteralComposition)
{
    for (const Scene& s : scenes()) {
        Img T, I;
        sceneImages(s, T, I);
        const Img p = params(s.p);
        for (StepSide side : {StepSide::Template, StepSide::Image}) {
            const std::vector<Img> want = literalMi(side, T, I, p, s.K);
            const int n = MiStepOutputs(side);
            Img out[5];
            MiStep(side, T, I, p, s.K, T.max(), I.max(), n, out);
            const std::string tag = s.name + (side == StepSide::Template ? ", template side" : ", image side");
            for (int k = 0; k < n; ++k) expectSame(out[k], want[k], tag + ", output " + std::to_string(k + 1));
        }
    }
}

// Tables of 4096 bins along one side and a wide, asymmetric kernel: most of a table is empty
// and a smoothed cell lies up to 16 bins from the cells the pixels reach.
TEST(StepCompose, MutualInformationStepsAtTwelveBitsWithAWideKernel)
{
    const std::vector<Scene> big = {
        {"12-bit template", 33, 31, 1, 80, 76, 4096, {0.04, -0.06, 0.05, 0.03, 40.7, 37.2}, kernel(31, 31), 24},
        {"12-bit image, partly outside, 30x28 kernel", 32, 30, 1, 64, 60, 24,
         {0.03, 0.05, -0.04, 0.02, 48.4, 6.3}, kernel(30, 28), 4096},
    };
    for (const Scene& s : big) {
        Img T, I;
        sceneImages(s, T, I);
        const Img p = params(s.p);
        for (StepSide side : {StepSide::Template, StepSide::Image}) {
            const std::vector<Img> want = literalMi(side, T, I, p, s.K, spreadConvolution);
            const int n = MiStepOutputs(side);
            Img out[5];
            MiStep(side, T, I, p, s.K, T.max(), I.max(), n, out);
            const std::string tag = s.name + (side == StepSide::Template ? ", template side" : ", image side");
            for (int k = 0; k < n; ++k) expectSame(out[k], want[k], tag + ", output " + std::to_string(k + 1));
        }
    }
}

TEST(StepCompose, SquaredDifferenceStepsEqualTheLiteralComposition)
{
    for (const Scene& s : scenes()) {
        Img T, I;
        sceneImages(s, T, I);
        const Img p = params(s.p);
        for (StepSide side : {StepSide::Template, StepSide::Image}) {
            const std::vector<Img> want = literalSsd(side, T, I, p);
            Img out[4];
            SsdStep(side, T, I, p, 4, out);
            const std::string tag = s.name + (side == StepSide::Template ? ", template side" : ", image side");
            for (int k = 0; k < 4; ++k) expectSame(out[k], want[k], tag + ", output " + std::to_string(k + 1));
        }
    }
}

// Asking for fewer outputs gives the first ones unchanged.
TEST(StepCompose, FewerOutputsAreTheFirstOnes)
{
    const Scene s = scenes()[2];
    Img T, I;
    sceneImages(s, T, I);
    const Img p = params(s.p);
    for (StepSide side : {StepSide::Template, StepSide::Image}) {
        const int n = MiStepOutputs(side);
        Img all[5], ssdAll[4];
        MiStep(side, T, I, p, s.K, T.max(), I.max(), n, all);
        SsdStep(side, T, I, p, 4, ssdAll);
        for (int count = 1; count < n; ++count) {
            Img part[5];
            MiStep(side, T, I, p, s.K, T.max(), I.max(), count, part);
            for (int k = 0; k < count; ++k) EXPECT_TRUE(part[k] == all[k]) << count << " " << k;
            EXPECT_TRUE(part[count].is_empty());
        }
        for (int count = 1; count < 4; ++count) {
            Img part[4];
            SsdStep(side, T, I, p, count, part);
            for (int k = 0; k < count; ++k) EXPECT_TRUE(part[k] == ssdAll[k]) << count << " " << k;
            EXPECT_TRUE(part[count].is_empty());
        }
    }
}
