function bench_steps_a()
% Time per call of pelvask, pelvesk (all outputs) and quillet: 128 x 128 template,
% 256 x 256 image, 64 intensity levels.
  rand('seed', 1);
  I = floor(64 * rand(256, 256));
  I = conv2(I, ones(5) / 25, 'same');            % some structure for the gradients
  T = I(65:192, 65:192);
  p = [0.02 -0.01 0.015 -0.02 127.4 128.6];
  S = [128 128];
  report('pelvask  [E,G,H,K]', @() step4(@pelvask, T, I, p));
  report('pelvesk  [E,G,H,K]', @() step4(@pelvesk, T, I, p));
  report('pelvask  E', @() pelvask(T, I, p));
  report('quillet  128x128', @() quillet(S, I, p));
end

function step4(f, T, I, p)
  [~, ~, ~, ~] = f(T, I, p);
end

function report(name, f)
  f();                                           % warm up
  n = 0; t0 = tic;
  while toc(t0) < 1 || n < 5
    f(); n++;
  end
  printf('%-22s %10.3f ms/call (%d calls)\n', name, 1e3 * toc(t0) / n, n);
end
