% pelvask  One step of affine least-squares alignment, with the template's gradients.
%
%   E = pelvask(T, I, p)
%   [E, G, H, K] = pelvask(T, I, p)
%
%   Warps the image I onto the grid of the template T by the affine parameters p and
%   returns the sum of squared differences with its derivatives. The steepest-descent
%   images are built from T's own gradients, so G and H change only through the residual
%   (compare pelvesk). Only the requested outputs are computed.
%
%   Inputs (numeric or logical arrays of any class; computed in double precision)
%     T  template, 2-D.
%     I  image, 2-D.
%     p  [a b c d tx ty], any shape (the first six values count): the template point at
%        centred coordinates (x, y) is read from I at ((1 + a) x + c y + tx,
%        b x + (1 + d) y + ty), bilinearly, the border pixels repeating outside I.
%
%   Outputs (double), sums over the template's pixels, with r = T - Iw (Iw: I warped)
%   and (x, y) each pixel's centred coordinates
%     E  1 x 1: sum(r .^ 2), no mean and no factor 1/2.
%     G  1 x 6: G(k) = sum(SD_k .* r), with the steepest-descent images
%        SD = [x Tx, x Ty, y Tx, y Ty, Tx, Ty]; Tx(i, j) = T(i + 1, j) - T(i, j) and
%        Ty(i, j) = T(i, j + 1) - T(i, j), 0 on the last row or column. G is about minus
%        half the gradient of E.
%     H  6 x 6 symmetric: H(m, n) = sum(SD_m .* SD_n), the Gauss-Newton Hessian (about
%        half the Hessian of E).
%     K  6 x 6: sum(r .* (SD SD' + J' Hg J)), Hg the 2 x 2 second forward differences of
%        T, J the 2 x 6 Jacobian [x 0 y 0 1 0; 0 x 0 y 0 1]. H + K is not the Hessian of E.
%   A Gauss-Newton step: p = p + H \ G'.
%
%   Conventions
%     MATLAB rows are the image's x axis and columns its y axis; positions count from 0.
%     Centred coordinates are measured from the template pixel (floor((w - 1) / 2),
%     floor((h - 1) / 2)), counted from 0, of a w x h template: the middle pixel for odd
%     sizes, the one before the middle for even sizes. A template cut out as
%     I(r0:r1, c0:c1) sits at tx = r0 - 1 + floor((r1 - r0) / 2),
%     ty = c0 - 1 + floor((c1 - c0) / 2). tremlo does not round: for even sizes its
%     centre lies half a pixel further.
%
%   Errors
%     A wrong number of inputs or outputs, an empty T or I, or p with fewer than six
%     values prints "PELVASK Error: " and the reason, then a line holding one blank and
%     "Aborting...", and returns a 1 x 1 single 0 in every requested output, without
%     raising an error. Running out of memory raises pelvask:outOfMemory.
%
%   Example
%     I = round(100 + 50 * sin((0:127)' / 6) + 50 * cos((0:127) / 9));
%     T = I(40:79, 30:69);          % 40 x 40: centre I(59, 49), counted from 0 (58, 48)
%     E = pelvask(T, I, [0 0 0 0 58 48])                   % -> E = 0
%     E = pelvask(T, I, [0 0 0 0 58.5 48.5])               % -> E = 2.1046e+04
%     p = [0 0 0 0 57 49]';
%     for it = 1:5, [E, G, H] = pelvask(T, I, p); p = p + H \ G'; end
%     p(5:6)'                                              % -> ans = 58 48
%
%   See also pelvesk, tremlo, quillet.
