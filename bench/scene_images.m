function [T, I] = scene_images(n, L)
% The benchmark scene: a smooth 2n x 2n reference quantised to L levels (0..L-1, default 64)
% and the n x n template cut from its centre (first index: x, the image's width).
  if nargin < 2, L = 64; end
  [x, y] = ndgrid(0:2 * n - 1, 0:2 * n - 1);
  v = 31.5 + 13 * sin(2 * pi * x / 37) .* cos(2 * pi * y / 53) + ...
      10 * sin(2 * pi * (x + y) / 23) + 7 * cos(2 * pi * (x - 2 * y) / 71);
  I = min(max(floor(v * L / 64), 0), L - 1);
  T = I(n / 2 + 1:n / 2 + n, n / 2 + 1:n / 2 + n);
end
