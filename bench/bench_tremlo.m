function bench_tremlo()
% Cost of one tremlo call against the measure's own time, on the images of the C++
% benchmark (bench/fixture.h): a smooth 256 x 256 reference quantised to 64 levels, the
% 128 x 128 template cut from its centre, an affine warp near the identity, bilinear
% sampling, rate 1. For each operator and output count: the time of a call with one warp,
% the time per warp of a call with 64 warps (the measure's own time, conversion and setup
% shared out), and their ratio.
  [T, I] = scene_images(128);
  p = [0.01; -0.005; 0.004; -0.008; 127.8; 127.3];
  randn('seed', 4);
  W = repmat(p, 1, 64) + [1e-3 * randn(4, 64); 0.1 * randn(2, 64)];
  printf('%-22s %12s %12s %8s\n', 'operator', 'call (ms)', 'warp (ms)', 'ratio');
  for c = {{1, 1, 'SSD'}, {3, 1, 'MI'}, {5, 3, 'Parzen, order 3'}, {5, 1, 'Parzen, order 1'}}
    [op, order, name] = c{1}{:};
    P = [6 op order 1 1];
    for nout = [1 2 3]
      one = time_per_call(@() call(nout, T, I, p, P));
      many = time_per_call(@() call(nout, T, I, W, P)) / 64;
      printf('%-22s %12.3f %12.3f %8.2f\n', sprintf('%d %s, %d out', op, name, nout), ...
             1e3 * one, 1e3 * many, one / many);
    end
  end
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
