function bench_tremlo()
% Cost of one tremlo call against the measure's own time, on the images of the C++
% benchmark (bench/fixture.h): a smooth 256 x 256 reference quantised to 64 levels, the
% 128 x 128 template cut from its centre, an affine warp near the identity, bilinear
% sampling, rate 1. For each operator and output count: the time of a call with one warp,
% the time per warp of a call with 64 warps (the measure's own time, conversion and setup
% shared out), and their ratio.
  [T, I] = images();
  p = [0.01; -0.005; 0.004; -0.008; 127.8; 127.3];
  randn('seed', 4);
  W = repmat(p, 1, 64) + [1e-3 * randn(4, 64); 0.1 * randn(2, 64)];
  printf('%-22s %12s %12s %8s\n', 'operator', 'call (ms)', 'warp (ms)', 'ratio');
  for c = {{1, 1, 'SSD'}, {3, 1, 'MI'}, {5, 3, 'Parzen, order 3'}, {5, 1, 'Parzen, order 1'}}
    [op, order, name] = c{1}{:};
    P = [6 op order 1 1];
    for nout = [1 2 3]
      one = timeOf(@() call(nout, T, I, p, P));
      many = timeOf(@() call(nout, T, I, W, P)) / 64;
      printf('%-22s %12.3f %12.3f %8.2f\n', sprintf('%d %s, %d out', op, name, nout), ...
             1e3 * one, 1e3 * many, one / many);
    end
  end
end

function [T, I] = images()
  [x, y] = ndgrid(0:255, 0:255);   % first index: x (the image's width)
  v = 31.5 + 13 * sin(2 * pi * x / 37) .* cos(2 * pi * y / 53) + ...
      10 * sin(2 * pi * (x + y) / 23) + 7 * cos(2 * pi * (x - 2 * y) / 71);
  I = min(max(floor(v), 0), 63);
  T = I(65:192, 65:192);
end

function call(nout, T, I, W, P)
  switch nout
    case 1
      tremlo(T, I, W, P);
    case 2
      [~, ~] = tremlo(T, I, W, P);
    otherwise
      [~, ~, ~] = tremlo(T, I, W, P);
  end
end

% Best of several rounds of at least 0.2 s each: seconds per call.
function t = timeOf(f)
  f();   % warm up
  t = Inf;
  for round = 1:5
    n = 0; t0 = tic;
    while toc(t0) < 0.2 || n < 3
      f(); n++;
    end
    t = min(t, toc(t0) / n);
  end
end
