function align_demo(figureFile)
% Recovers a known affine warp of a synthetic image with tremlo's gradient and Hessian.
%
% A textured reference image is made here; the template is the reference sampled under a
% known affine warp (linear part and translation). Starting from the identity at the
% reference's centre, a damped Gauss-Newton loop on tremlo's value, gradient and Hessian
% recovers the warp: once with the sum of squared differences (operator 1) on the template
% itself, once with Parzen-window mutual information (operator 5) on a copy whose
% intensities are remapped non-monotonically, where SSD fails. Last, one call with many
% warps evaluates a grid of translations to show the basin of the measure.
%
% align_demo(figureFile) also writes a figure of the result as a PNG image (default
% align_demo.png in the current folder): the reference with the template's outline at the
% start, after SSD and after MI; checkerboards of the template and the warped reference; and
% each measure's cost over the grid of translations.
%
% The error of a warp is the largest distance, in pixels, between where it and the true
% warp send the template's corners. The demo fails (an error, so `make demo` exits non-zero)
% unless SSD ends within 0.001 px and MI within 0.1 px of the true warp.
  TOL_SSD = 0.001; TOL_MI = 0.1;
  levels = 64;                      % intensities are histogram bins for MI: 0 .. levels - 1
  [I, T, pTrue, corners] = scene(levels);
  p0 = [0; 0; 0; 0; (size(I)' - 1) / 2];
  fprintf('Reference %dx%d, template %dx%d, true warp [%s]\n', size(I, 1), size(I, 2), ...
         size(T, 1), size(T, 2), sprintf(' %.3f', pTrue));

  fprintf('\nSum of squared differences (operator 1), template as sampled:\n');
  pSSD = align(T, I, p0, [6 1 1 1 1], pTrue, corners, 30);

  Tm = remap(T, levels);
  fprintf('\nParzen-window MI (operator 5, cubic spline), template intensities remapped:\n');
  pMI = align(Tm, I, p0, [6 5 3 1 1], pTrue, corners, 60);
  fprintf('\nSSD on the remapped template, for comparison:\n');
  pBad = align(Tm, I, p0, [6 1 1 1 1], pTrue, corners, 12);

  [offsets, basins] = basin(T, Tm, I, pTrue);
  if nargin < 1
    figureFile = 'align_demo.png';
  end
  S = struct('I', I, 'T', T, 'Tm', Tm, 'levels', levels, 'pTrue', pTrue, 'p0', p0, ...
             'pSSD', pSSD, 'pMI', pMI, 'offsets', offsets);
  S.basins = basins;
  align_demo_figure(figureFile, S);
  fprintf('\nFigure written to %s\n', figureFile);

  eSSD = warpError(pSSD, pTrue, corners); eMI = warpError(pMI, pTrue, corners);
  fprintf('\nFinal error: SSD %.4f px (tolerance %g), MI %.4f px (tolerance %g); SSD on the remapped template %.2f px\n', ...
         eSSD, TOL_SSD, eMI, TOL_MI, warpError(pBad, pTrue, corners));
  if ~(eSSD <= TOL_SSD && eMI <= TOL_MI)
    error('align_demo: the warp was not recovered within tolerance');
  end
  fprintf('Both warps recovered.\n');
end

% Reference: a smooth random texture with values in [0, levels); template: the reference
% sampled under the true warp around its centre, on a 48 x 48 grid.
function [I, T, pTrue, corners] = scene(levels)
  rand('seed', 11); randn('seed', 11);
  n = 96;
  [R, C] = ndgrid(0:n - 1);
  I = zeros(n);
  for f = 1:12
    k = (0.05 + 0.2 * rand()) * [cos(2 * pi * rand()) sin(2 * pi * rand())];
    I = I + randn() * cos(k(1) * R + k(2) * C + 2 * pi * rand());
  end
  I = conv2(I, ones(3) / 9, 'same');
  I = (levels - 0.01) * (I - min(I(:))) / (max(I(:)) - min(I(:)));
  pTrue = [0.04; -0.03; 0.025; -0.05; (n - 1) / 2 + 2.6; (n - 1) / 2 - 1.9];
  m = 48;
  [X, Y] = ndgrid((0:m - 1) - (m - 1) / 2);
  corners = [-(m - 1) / 2, (m - 1) / 2, -(m - 1) / 2, (m - 1) / 2; ...
             -(m - 1) / 2, -(m - 1) / 2, (m - 1) / 2, (m - 1) / 2];
  [xp, yp] = warpPoints(pTrue, X, Y);
  T = interp2(I, yp + 1, xp + 1, 'linear');
end

% A non-monotonic remapping of the intensities, into levels bins.
function Tm = remap(T, levels)
  u = T / levels;
  Tm = floor((levels - 0.01) * (0.5 + 0.5 * sin(2.2 * pi * u + 0.4)));
end

function [xp, yp] = warpPoints(p, X, Y)
  xp = (1 + p(1)) * X + p(3) * Y + p(5);
  yp = p(2) * X + (1 + p(4)) * Y + p(6);
end

function e = warpError(p, pTrue, corners)
  [x1, y1] = warpPoints(p, corners(1, :), corners(2, :));
  [x0, y0] = warpPoints(pTrue, corners(1, :), corners(2, :));
  e = max(hypot(x1 - x0, y1 - y0));
end

% Damped Gauss-Newton (Levenberg-Marquardt) on tremlo's value, gradient and Hessian.
function p = align(T, I, p, P, pTrue, corners, maxIt)
  fprintf('%5s %14s %12s %10s\n', 'iter', 'value', 'error (px)', 'damping');
  [y, g, H] = tremlo(T, I, p, P);
  lambda = 1e-3;
  fprintf('%5d %14.6g %12.4f %10s\n', 0, y, warpError(p, pTrue, corners), '-');
  for it = 1:maxIt
    % Scale the linear part so that all parameters move pixels alike.
    s = [ones(4, 1) * (size(T, 1) / 2); 1; 1];
    Hs = H ./ (s * s'); gs = g ./ s;
    step = -((Hs + lambda * diag(diag(Hs))) \ gs) ./ s;
    [y1, g1, H1] = tremlo(T, I, p + step, P);
    if y1 < y
      p = p + step; y = y1; g = g1; H = H1;
      lambda = max(lambda / 4, 1e-6);
    else
      lambda = lambda * 8;
    end
    fprintf('%5d %14.6g %12.4f %10.2g\n', it, y, warpError(p, pTrue, corners), lambda);
    if max(abs(step .* s)) < 1e-3 || lambda > 1e6, break; end
  end
end

% Values over a grid of translations around the true one, the linear part held at its true
% value: one tremlo call per measure with one warp per column. Prints every fourth offset for
% SSD on the template and MI on the remapped template; returns the offsets and the costs of
% SSD and MI on both templates.
function [d, basins] = basin(T, Tm, I, pTrue)
  d = -8:0.5:8;
  [DX, DY] = ndgrid(d);
  W = repmat(pTrue, 1, numel(DX));
  W(5, :) = W(5, :) + DX(:)'; W(6, :) = W(6, :) + DY(:)';
  basins = {'SSD, template T', T, [6 1 1 1 1];  'MI, template T', T, [6 5 3 1 1];
            'SSD, remapped Tm', Tm, [6 1 1 1 1]; 'MI, remapped Tm', Tm, [6 5 3 1 1]};
  for k = 1:size(basins, 1)
    basins{k, 2} = reshape(tremlo(basins{k, 2}, I, W, basins{k, 3}), size(DX));
  end
  basins = basins(:, 1:2);
  shown = 1:4:numel(d);
  for c = {{1, 'SSD, template as sampled'}, {4, 'Parzen MI, remapped template'}}
    k = c{1}{1}; name = c{1}{2};
    Y = basins{k, 2};
    fprintf('\nBasin of %s over translation offsets (rows: x, columns: y), one call of %d warps:\n', ...
           name, numel(DX));
    fprintf('%8s', ''); fprintf('%9d', d(shown)); fprintf('\n');
    for i = shown
      fprintf('%8d', d(i)); fprintf('%9.3g', Y(i, shown)); fprintf('\n');
    end
    [~, at] = min(Y(:));
    fprintf('minimum at offset (%g, %g)\n', DX(at), DY(at));
  end
end
