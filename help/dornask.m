% dornask  One step of affine mutual-information alignment, derivatives on the template side.
%
%   MI = dornask(T, I, p)
%   [MI, G, H1, H2, H3] = dornask(T, I, p)
%   [...] = dornask(T, I, p, K)
%
%   Warps the image I onto the grid of the template T by the affine parameters p and
%   returns the mutual information of the two, with its derivatives taken for a warp of
%   the template: T's own gradients drive them (compare dornesk). Only the requested
%   outputs are computed.
%
%   Inputs (numeric or logical arrays of any class; computed in double precision)
%     T  template, 2-D.
%     I  image, 2-D.
%     p  [a b c d tx ty], any shape (the first six values count): the template point at
%        centred coordinates (x, y) is read from I at ((1 + a) x + c y + tx,
%        b x + (1 + d) y + ty), bilinearly, the border pixels repeating outside I.
%     K  optional Parzen kernel, 2-D, default 1: the joint histogram (template bins along
%        its first dimension, image bins along its second) is convolved with K. K is not
%        renormalised: one that does not sum to 1 gives meaningless mutual information.
%
%   Outputs (double)
%     MI  1 x 1: the mutual information sum(P .* log(P ./ (pT * pI))) of the joint
%         histogram P of T and the warped I, after K, with its marginals pT and pI;
%         natural logarithm (nats), the value itself, not a cost.
%     G   1 x 6: its gradient for a warp of the template. Warping the template one way
%         is warping the image the other way: the step below subtracts.
%     H1  6 x 6 symmetric: the term of the template marginal.
%     H2  6 x 6 symmetric: the term of the joint histogram, sum(dP_m .* dP_n ./ P).
%     H3  6 x 6: the term of the second derivatives of P.
%   A Newton step toward larger MI: p = p - (H1 + H2 + H3) \ G'.
%
%   Conventions
%     MATLAB rows are the image's x axis and columns its y axis; positions count from 0.
%     Centred coordinates are measured from the template pixel (floor((w - 1) / 2),
%     floor((h - 1) / 2)), counted from 0, as in pelvask. Intensities, truncated toward
%     zero, are the histogram bins: T and I must hold finite, non-negative values, and
%     the tables have about max(T(:)) x max(I(:)) cells, so the time of a call grows with
%     the product of the largest intensities: quantise to 256 levels or fewer.
%
%   Errors
%     A wrong number of inputs or outputs, p with fewer than six values or a non-finite
%     one, an empty I, negative or non-finite intensities, or tables beyond 2^25 cells
%     print "DORNASK Error: " and the reason, then a line holding one blank and
%     "Aborting...", and return a 1 x 1 single 0 in every requested output, without
%     raising an error. An empty T or K raises the error dornask:imageLibrary.
%
%   Example
%     I = floor(round(100 + 50 * sin((0:127)' / 6) + 50 * cos((0:127) / 9)) / 4);
%     T = I(40:80, 30:70);          % 41 x 41, intensities 0 to 50
%     MI = dornask(T, I, [0 0 0 0 59 49])                  % -> MI = 3.8159
%     K = [1 2 1]' * [1 2 1] / 16;
%     p = [0 0 0 0 59.5 49.3]';
%     [MI, G, H1, H2, H3] = dornask(T, I, p, K);
%     q = p - (H1 + H2 + H3) \ G';
%     dornask(T, I, q, K) > MI                             % -> ans = 1
%
%   See also dornesk, tremlo, pelvask.
