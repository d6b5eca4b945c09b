function [r, t] = tremlo_warped(T, I, w, method, rate)
% Reference values at the warped template grid, by interp2, and the template values there.
% w: 2 [tx ty], 3 [tx ty angle], 4 [tx ty angle scale-1] or 6 [a b c d tx ty] parameters,
% acting on template coordinates centred on the template (x down the rows, y along the
% columns, both counted from 0).
  if nargin < 5, rate = 1; end
  [h, wd] = deal(size(T, 2), size(T, 1));
  xi = 0:rate:wd - 1; yi = 0:rate:h - 1;
  [X, Y] = ndgrid(xi - (wd - 1) / 2, yi - (h - 1) / 2);
  switch numel(w)
    case 2
      xp = X + w(1); yp = Y + w(2);
    case {3, 4}
      m = 1; if numel(w) == 4, m = 1 + w(4); end
      s = sin(w(3)); c = cos(w(3));
      xp = m * (c * X + s * Y) + w(1); yp = m * (c * Y - s * X) + w(2);
    case 6
      xp = (1 + w(1)) * X + w(3) * Y + w(5); yp = w(2) * X + (1 + w(4)) * Y + w(6);
  end
  r = interp2(double(I), yp + 1, xp + 1, method);
  t = double(T(xi + 1, yi + 1));
end
