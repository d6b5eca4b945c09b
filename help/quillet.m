% quillet  Cut an affine-warped region out of an image.
%
%   R = quillet(S, I, p)
%
%   Samples the image I bilinearly on a w x h grid centred like the step modules'
%   templates and mapped by the affine parameters p: the region that pelvask, pelvesk,
%   dornask and dornesk compare with a w x h template at p.
%
%   Inputs
%     S  [w h]: the region's size (the first two values count), truncated toward zero;
%        w along the first dimension. Sizes must be non-negative.
%     I  image, 2-D, numeric or logical of any class.
%     p  [a b c d tx ty], any shape (the first six values count).
%
%   Output
%     R  w x h double: R(i, j) is I sampled at ((1 + a) x + c y + tx, b x + (1 + d) y + ty)
%        for the centred coordinates x = i - 1 - floor((w - 1) / 2),
%        y = j - 1 - floor((h - 1) / 2). Reads outside I take the value of the nearest
%        border pixel. A region of no pixels is an empty array.
%
%   Conventions
%     MATLAB rows are the image's x axis and columns its y axis; positions count from 0,
%     so with p = [0 0 0 0 tx ty] and whole tx, ty the region is a block of I:
%     quillet([w h], I, [0 0 0 0 tx ty]) equals I(r0:r0 + w - 1, c0:c0 + h - 1) with
%     r0 = tx + 1 - floor((w - 1) / 2), c0 = ty + 1 - floor((h - 1) / 2).
%
%   Errors
%     A wrong number of inputs or outputs, S with fewer than two values or a negative or
%     non-finite one, an empty I, or p with fewer than six values prints
%     "QUILLET Error: " and the reason, then a line holding one blank and "Aborting...",
%     and returns a 1 x 1 single 0, without raising an error.
%
%   Example
%     I = round(100 + 50 * sin((0:127)' / 6) + 50 * cos((0:127) / 9));
%     R = quillet([40 40], I, [0 0 0 0 58 48]);
%     isequal(R, I(40:79, 30:69))                          % -> ans = 1
%     th = 0.1;                     % rotated by 0.1 rad about the same centre
%     R = quillet([40 40], I, [cos(th) - 1, -sin(th), sin(th), cos(th) - 1, 58, 48]);
%     quillet([1 1], I, [0 0 0 0 10.5 20])                 % -> ans = 118.50
%     [I(11, 21) I(12, 21)]         % the two pixels it lies between: 119 and 118
%
%   See also pelvask, pelvesk, dornask, dornesk, tremlo.
