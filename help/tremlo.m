% tremlo  Similarity of a template and an image at a list of warps, with gradients and Hessians.
%
%   Y = tremlo(T, I, W, P)
%   [Y, D] = tremlo(T, I, W, P)
%   [Y, D, DD] = tremlo(T, I, W, P)
%   [Y, D, DD, H] = tremlo(T, I, W, P)
%   [...] = tremlo(T, I, W, P, Z)
%
%   Places the template T in the reference image I by each warp of W and evaluates one
%   similarity measure there, with its gradient and Hessian with respect to the warp
%   parameters. Only what the requested outputs need is computed.
%
%   Inputs (numeric or logical arrays of any class; computed in single precision)
%     T  template, 2-D.
%     I  reference image, 2-D.
%     W  warps: k values per warp, read in storage order, so a k x n matrix holds warp j
%        in column j; values after the last whole warp are ignored. k is the warp type:
%          k = 2  translation  [tx; ty]
%          k = 3  Euclidean    [tx; ty; angle]        (angle in radians)
%          k = 4  similarity   [tx; ty; angle; s]     (scale 1 + s)
%          k = 6  affine       [a; b; c; d; tx; ty]
%        The template point at centred coordinates (x, y) goes to, in I:
%          translation  (x + tx, y + ty)
%          Euclidean    (cos(angle) x + sin(angle) y + tx, -sin(angle) x + cos(angle) y + ty)
%          similarity   the Euclidean map with x and y scaled by 1 + s
%          affine       ((1 + a) x + c y + tx, b x + (1 + d) y + ty)
%     P  [warp type, operator, order, interpolation, rate]: the first five values, whatever
%        the shape of P. Codes are truncated toward zero.
%          warp type      2, 3, 4 or 6, taken modulo 10 (26 acts as 6).
%          operator       1   mean squared difference, Gauss-Newton Hessian
%                         11  mean squared difference, full Hessian
%                         2   minus the normalised correlation
%                             sum(r .* t) / sqrt(sum(r .^ 2) * sum(t .^ 2)), no mean removed
%                         3   minus the mutual information of the joint histogram
%                         4   the same, histogram with partial-volume weights
%                         5   the same, histogram with Parzen-window weights
%                         6   minus the area-based mutual information: each template cell
%                             spread over the histogram as triangles
%                         7   the same, each cell first cut at the reference pixel grid
%                         any other code computes operator 3.
%          order          the B-spline order (0 to 3) of the weights of operators 4 and 5.
%                         For operator 6 the triangles of a cell: 2 cuts it along one
%                         diagonal, 3 into four triangles about its centre, any other value
%                         along the other diagonal. The other operators ignore it.
%          interpolation  of I: 0 nearest, 1 bilinear, 3 bicubic; any other value is
%                         bilinear. Operators 6 and 7 always sample bilinearly.
%          rate           the sampling step over the template in pixels: 1 every pixel,
%                         2 every other row and column, 0.5 four samples per pixel.
%                         Operators 5, 6 and 7 always use 1. A rate below 1e-6 prints a
%                         warning and becomes 1; a rate below 1 that would take more
%                         than 2^28 samples per warp, or more than 2^20 along one axis,
%                         is refused (at 2^28 samples a warp takes 2 to 4 s with
%                         bilinear sampling, 9 to 15 s with bicubic). Samples lie at
%                         1 + k * rate pixels along each axis (k whole), each at the warp
%                         of its own template coordinates.
%     Z  optional Parzen window of operators 3, 4 and 5: the joint histogram is convolved
%        with it (zero border, size kept; the first dimension of Z runs along reference
%        bins) before the mutual information is taken. Empty or one element: no smoothing,
%        whatever the element (Z = 0.5 gives the values and histograms of no Z).
%        Z is not renormalised: a window that does not sum to 1 gives meaningless values,
%        even negative mutual information. Operators 6 and 7 ignore it.
%
%   Outputs (double)
%     Y   n x 1: the value at each warp, a cost to minimise (see the operators).
%     D   k x n: column j is the gradient of Y(j) with respect to the parameters of warp j.
%     DD  k x k x n: page j is the Hessian. Operators 6 and 7 give zero D and DD.
%     H   the joint histogram of each warp, stacked along the third dimension. Operators
%         3, 4, 5: L x L x n with L = floor(max([T(:); I(:)])) + 1, the reference bin along
%         the first dimension: H(i, j, k) is the share of samples of warp k with reference
%         intensity i - 1 and template intensity j - 1, after smoothing by Z. Operators 6, 7:
%         the same size with the template bin along the first dimension. Operators 1, 2,
%         11 (and 100): 1 x 1 x n, all ones.
%
%   The value can depend on the number of outputs:
%     - with nearest-neighbour interpolation (code 0) the evaluations with a gradient read
%       I at the pixel of the truncated position, the value alone at the nearest pixel:
%       tremlo(T, I, [59; 49], [2 1 1 0 0.5]) gives 0, [y, d] = tremlo(...) y = 25.659
%       (T and I of the example below);
%     - operator 5 with nearest-neighbour interpolation takes the gradient, and the value
%       with it, from operator 3's plain histogram: order 2 gives -4.1203 alone, -5.1295
%       with a gradient;
%     - operator 5 of order 0 with bilinear or bicubic interpolation spreads each sample
%       over two bins with a gradient, bins it whole without.
%
%   Conventions
%     MATLAB rows are the image's x axis and columns its y axis; positions count from 0,
%     so I(i, j) lies at (i - 1, j - 1). Centred template coordinates are measured from
%     the template's centre ((w - 1) / 2, (h - 1) / 2) for a w x h template: a pixel for
%     odd sizes, a half-integer for even ones. A template cut out as I(r0:r1, c0:c1) sits
%     at tx = (r0 + r1) / 2 - 1, ty = (c0 + c1) / 2 - 1. The step modules and quillet
%     round this centre down (see pelvask).
%     Reads outside I take the value of the nearest border pixel.
%     Operators 3 to 7 use intensities as histogram bins: T and I must hold non-negative
%     values, which are truncated toward zero; the tables hold L x L bins, so quantise
%     images of more than a few hundred levels.
%
%   Errors
%     A bad call (a wrong number of inputs or outputs, an empty input, P shorter than five
%     values, a warp type other than 2, 3, 4 or 6, a non-finite code, non-finite or
%     negative intensities for operators 3 to 7) prints "tremlo Error: " and the reason,
%     then the usage text and "Aborting...", and returns a 1 x 1 single 0 in every
%     requested output. It raises no error: isa(Y, 'single') tells a refused call.
%     A template larger than I prints "tremlo Warning - Tmp bigger then Ref Image." and
%     the call goes on. More bins than a measure takes (2^26 per axis, 2^24 for
%     operators 6 and 7), or histograms that would take more than half the machine's
%     memory (what the call allocates at most: the tables per bin, the cells the samples
%     can reach, what is kept per sample, the dense histograms of the fourth output, 12
%     bytes per bin and warp), raise the error tremlo:histogramTooLarge; its message
%     names what would take the memory.
%
%   Example
%     I = round(100 + 50 * sin((0:127)' / 6) + 50 * cos((0:127) / 9));
%     T = I(40:80, 30:70);          % a 41 x 41 block, centred on I(60, 50)
%     y = tremlo(T, I, [59; 49], [2 1 1 1 1])                   % -> y = 0
%     y = tremlo(T, I, [58 59 60; 49 49 49], [2 1 1 1 1])'      % -> y = 36.9566 0 36.2861
%     [y, g, h] = tremlo(T, I, [59.4; 49], [2 1 1 1 1]);
%     step = (-h \ g)'              % a Gauss-Newton step: back to [59 49]
%     [y, g, h, H] = tremlo(T, I, [0; 0; 0; 0; 59; 49], [6 3 1 1 1]);
%     y                                                         % -> y = -5.1295
%     size(H)                                                   % -> ans = 201 201
%
%   See also pelvask, pelvesk, dornask, dornesk, quillet.
