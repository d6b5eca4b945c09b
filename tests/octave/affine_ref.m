function out = affine_ref(what, varargin)
% Independent computations for the affine step modules' tests.
%   Iw = affine_ref('warp', I, w, h, x0, y0, p)
%       I sampled with interp2 (linear) at x' = (1+p1)x + p3 y + p5, y' = p2 x + (1+p4)y + p6
%       over x = x0..x0+w-1 (first dimension), y = y0..y0+h-1, coordinates rounded to single
%       and clamped into I.
%   D = affine_ref('dx', V), affine_ref('dy', V): forward differences, 0 on the last row/column.
%   [E, G, H, K] as a struct: affine_ref('ssd', T, I, p, side), side 'template' or 'image'.
  switch what
    case 'warp'
      out = warp(varargin{:});
    case 'dx'
      V = varargin{1};
      out = [diff(V, 1, 1); zeros(1, columns(V))];
    case 'dy'
      V = varargin{1};
      out = [diff(V, 1, 2), zeros(rows(V), 1)];
    case 'ssd'
      out = ssd(varargin{:});
  end
end

function Iw = warp(I, w, h, x0, y0, p)
  [x, y] = ndgrid(x0:x0 + w - 1, y0:y0 + h - 1);
  xw = double(single((1 + p(1)) * x + p(3) * y + p(5)));
  yw = double(single(p(2) * x + (1 + p(4)) * y + p(6)));
  xw = min(max(xw, 0), rows(I) - 1);
  yw = min(max(yw, 0), columns(I) - 1);
  Iw = interp2(I, yw + 1, xw + 1, 'linear');
end

function s = ssd(T, I, p, side)
  T = double(T); I = double(I);
  [w, h] = size(T);
  wp = @(V) warp(V, w, h, -fix((w - 1) / 2), -fix((h - 1) / 2), p);
  dx = @(V) [diff(V, 1, 1); zeros(1, columns(V))];
  dy = @(V) [diff(V, 1, 2), zeros(rows(V), 1)];
  Iw = wp(I);
  if strcmp(side, 'template')
    r = T - Iw;
    Gx = dx(T); Gy = dy(T);
    Hxx = dx(Gx); Hxy = dy(Gx); Hyx = dx(Gy); Hyy = dy(Gy);
  else
    r = Iw - T;
    Ix = dx(I); Iy = dy(I);
    Gx = wp(Ix); Gy = wp(Iy);
    Hxx = wp(dx(Ix)); Hxy = wp(dy(Ix)); Hyx = wp(dx(Iy)); Hyy = wp(dy(Iy));
  end
  [X, Y] = ndgrid((0:w - 1) - fix(w / 2), (0:h - 1) - fix(h / 2));
  SD = {X .* Gx, X .* Gy, Y .* Gx, Y .* Gy, Gx, Gy};
  s.E = sum(r(:) .^ 2);
  s.G = zeros(1, 6); s.H = zeros(6); s.K = zeros(6);
  for k = 1:6
    s.G(k) = sum(SD{k}(:) .* r(:));
  end
  % J' Hg J pixel by pixel: J = [X 0 Y 0 1 0; 0 X 0 Y 0 1], Hg = [Hxx Hyx; Hxy Hyy].
  JHJ = zeros(6, 6, w * h);
  for i = 1:w * h
    J = [X(i) 0 Y(i) 0 1 0; 0 X(i) 0 Y(i) 0 1];
    JHJ(:, :, i) = J' * [Hxx(i) Hyx(i); Hxy(i) Hyy(i)] * J;
  end
  for m = 1:6
    for n = 1:6
      s.H(m, n) = sum(SD{m}(:) .* SD{n}(:));
      s.K(m, n) = sum(r(:) .* (SD{m}(:) .* SD{n}(:) + squeeze(JHJ(m, n, :))));
    end
  end
end
