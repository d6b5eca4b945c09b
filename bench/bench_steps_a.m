function bench_steps_a()
% Time per call of pelvask, pelvesk (all outputs) and quillet: 128 x 128 template,
% 256 x 256 image, 64 intensity levels.
  rand('seed', 1);
  I = floor(64 * rand(256, 256));
  I = conv2(I, ones(5) / 25, 'same');            % some structure for the gradients
  T = I(65:192, 65:192);
  p = [0.02 -0.01 0.015 -0.02 127.4 128.6];
  S = [128 128];
  time_per_call('pelvask  [E,G,H,K]', @() step4(@pelvask, T, I, p));
  time_per_call('pelvesk  [E,G,H,K]', @() step4(@pelvesk, T, I, p));
  time_per_call('pelvask  E', @() pelvask(T, I, p));
  time_per_call('quillet  128x128', @() quillet(S, I, p));
end

function step4(f, T, I, p)
  [~, ~, ~, ~] = f(T, I, p);
end
