% tremlo over large templates and at sub-pixel sampling rates: every sample at its warped
% position, the means over the samples actually taken.

% Templates sampled (interp2, double) from the reference at a known warp: SSD about 0 there.
[R, C] = ndgrid(0:511, 0:511);
I = 40 + 12 * sin(R / 23) .* cos(C / 31) + 9 * cos((R - 2 * C) / 41) + 6 * sin((R + C) / 17);
n = 256;
truth = {[255.8 255.1 0.12], [0.04 -0.03 0.05 -0.02 255.8 255.1]};
for i = 1:numel(truth)
  w = truth{i}; k = numel(w);
  T = tremlo_warped(zeros(n), I, w, 'linear');
  Y = tremlo(T, I, w(:), [k 1 1 1 1]);
  assert(Y < 1e-8, '%dx%d template, warp type %d: SSD %g at the true warp', n, n, k, Y);
end
% A ramp reference I(x, y) = x, sampled exactly by bilinear interpolation.
m = 2048; n = 1024;
Iramp = repmat((0:m - 1)', 1, m);
w = [1023.8; 1023.3; 0.1];
[X, Y] = ndgrid((0:n - 1) - (n - 1) / 2);
Tramp = cos(w(3)) * X + sin(w(3)) * Y + w(1);
ssd = tremlo(Tramp, Iramp, w, [3 1 1 1 1]);
assert(ssd < 1e-6, '1024x1024 template on a ramp: SSD %g at the true warp', ssd);
clear Iramp Tramp X Y

% Gradients against central differences at steps of 1e-3 in the angle and the linear
% parameters, near the true warp of a 256 x 256 template.
n = 256;
offsets = {[0.3 -0.2 0.004], [0.004 -0.003 0.003 0.002 0.3 -0.2]};
moving = {3, 1:4};
h = 1e-3;
for i = 1:numel(truth)
  k = numel(truth{i});
  T = tremlo_warped(zeros(n), I, truth{i}, 'linear');
  w = (truth{i} + offsets{i})';
  E = zeros(k, numel(moving{i}));
  E(sub2ind(size(E), moving{i}, 1:numel(moving{i}))) = h;
  % {P, relative tolerance}: the correlation's value is within 1e-7 of -1, which limits its
  % differences
  for c = {{[k 1 1 1 1], 1e-3}, {[k 2 1 1 1], 3e-2}, {[k 5 3 1 1], 1e-2}}
    [P, tol] = c{1}{:};
    [~, D] = tremlo(T, I, w, P);
    fd = (tremlo(T, I, w + E, P) - tremlo(T, I, w - E, P)) / (2 * h);
    g = D(moving{i});
    assert(norm(fd - g) <= tol * norm(g), 'warp type %d operator %d: gradient %s, differences %s', ...
           k, P(2), mat2str(g', 4), mat2str(fd', 4));
  end
end

% Rates that do not divide the template: the joint histogram sums to 1, and a template cut
% from the reference gives SSD 0 at its whole-pixel place.
[R, C] = ndgrid(0:199, 0:199);
Iq = round(30 + 12 * sin(R / 13) .* cos(C / 11) + 9 * cos((R - 2 * C) / 21));
Tq = Iq(51:150, 41:140);
for rate = [0.3 0.7]
  [~, ~, ~, H] = tremlo(Tq, Iq, [99.71; 89.13], [2 3 1 1 rate]);
  assert(abs(sum(H(:)) - 1) < 1e-6, 'rate %g: the joint histogram sums to %.8f', rate, sum(H(:)));
end
Tb = Iq(31:50, 61:80);
for rate = [0.5 0.3 0.01]
  Y = tremlo(Tb, Iq, [39.5; 69.5], [2 1 1 1 rate]);
  assert(Y < 1e-9, 'rate %g: SSD %g at the place of the cut', rate, Y);
end
