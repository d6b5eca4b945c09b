function bench_tremlo()
% Time of tremlo calls for operators 1 (SSD), 3 (MI) and 5 (Parzen-window MI): 128 x 128
% template, 256 x 256 reference, 64 intensity levels, affine warps. One warp per call
% shows the cost of conversion and setup; 64 warps per call the measure's own time.
  rand('seed', 4);
  I = conv2(63 * rand(256, 256), ones(5) / 25, 'same');   % 0..63, with some structure
  T = floor(I(65:192, 65:192));
  p = [0.02; -0.01; 0.015; -0.02; 127.4; 128.6];
  W = repmat(p, 1, 64) + [0.01 * randn(4, 64); randn(2, 64)];
  for op = [1 3 5]
    P = [6 op 1 1 1];
    for nout = [1 3]
      one = report(sprintf('op %d, %d output(s), 1 warp', op, nout), @() call(nout, T, I, p, P), 1);
      many = report(sprintf('op %d, %d output(s), 64 warps', op, nout), @() call(nout, T, I, W, P), 64);
      printf('%-34s %10.3f ms/call\n', '   setup and conversion (estimate)', one - many);
    end
  end
end

function call(nout, T, I, W, P)
  if nout == 1
    tremlo(T, I, W, P);
  else
    [~, ~, ~] = tremlo(T, I, W, P);
  end
end

% Prints the time per call and per warp; returns the time per warp in milliseconds.
function perWarp = report(name, f, nWarps)
  f();                                           % warm up
  n = 0; t0 = tic;
  while toc(t0) < 1 || n < 3
    f(); n++;
  end
  perCall = 1e3 * toc(t0) / n;
  perWarp = perCall / nWarps;
  printf('%-34s %10.3f ms/call %10.3f ms/warp (%d calls)\n', name, perCall, perWarp, n);
end
