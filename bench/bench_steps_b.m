function bench_steps_b()
% Time per call of dornask (5 outputs) and dornesk (4 outputs): 128 x 128 template,
% 256 x 256 image, 64 intensity levels; the default kernel and a 3 x 3 Parzen kernel.
  rand('seed', 2);
  I = conv2(63 * rand(256, 256), ones(5) / 25, 'same');   % 0..63, with some structure
  T = floor(I(65:192, 65:192));
  p = [0.02 -0.01 0.015 -0.02 127.4 128.6];
  K = [1 2 1]' * [1 2 1] / 16;
  time_per_call('dornask  all outputs', @() ask(T, I, p, 1));
  time_per_call('dornask  all, 3x3 K', @() ask(T, I, p, K));
  time_per_call('dornask  MI', @() dornask(T, I, p));
  time_per_call('dornesk  all outputs', @() esk(T, I, p, 1));
  time_per_call('dornesk  all, 3x3 K', @() esk(T, I, p, K));
end

function ask(T, I, p, K)
  [~, ~, ~, ~, ~] = dornask(T, I, p, K);
end

function esk(T, I, p, K)
  [~, ~, ~, ~] = dornesk(T, I, p, K);
end
