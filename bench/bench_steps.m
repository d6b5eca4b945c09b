function bench_steps()
% Each step module beside tremlo's corresponding call at one warp on the same images
% (scene_images: n x n template cut from a 2n x 2n reference, 64 intensity levels), for
% n = 128 and 256: milliseconds per call (best of five rounds) and the ratio.
%   dornask (5 outputs), dornesk (4)  beside  tremlo MI, value, gradient and Hessian
%   pelvask, pelvesk (4 outputs)      beside  tremlo SSD, value, gradient and Hessian
%   quillet (n x n region)            beside  tremlo SSD, value
% and the first output alone beside tremlo's value.
  printf('%-28s %5s %10s %11s %8s\n', 'module', 'n', 'ms/call', 'tremlo ms', 'ratio');
  for n = [128 256]
    [T, I] = scene_images(n);
    p = [0.01 -0.005 0.004 -0.008 n - 0.2 n - 0.7];
    K = [1 2 1]' * [1 2 1] / 16;
    ssd = [6 1 1 1 1];
    mi = [6 3 1 1 1];
    cases = {
      'dornask, all outputs', @() out5(@dornask, T, I, p), mi, 3;
      'dornask, all, 3x3 kernel', @() out5(@dornask, T, I, p, K), mi, 3;
      'dornesk, all outputs', @() out4(@dornesk, T, I, p), mi, 3;
      'dornesk, all, 3x3 kernel', @() out4(@dornesk, T, I, p, K), mi, 3;
      'pelvask, all outputs', @() out4(@pelvask, T, I, p), ssd, 3;
      'pelvesk, all outputs', @() out4(@pelvesk, T, I, p), ssd, 3;
      'quillet', @() quillet([n n], I, p), ssd, 1;
      'dornask, MI', @() dornask(T, I, p), mi, 1;
      'dornesk, MI', @() dornesk(T, I, p), mi, 1;
      'pelvask, E', @() pelvask(T, I, p), ssd, 1;
      'pelvesk, E', @() pelvesk(T, I, p), ssd, 1};
    for r = 1:rows(cases)
      [name, f, P, nout] = cases{r, :};
      t = time_per_call(f);
      if nout == 3
        ref = time_per_call(@() tremlo3(T, I, p(:), P));
      else
        ref = time_per_call(@() tremlo(T, I, p(:), P));
      end
      printf('%-28s %5d %10.3f %11.3f %8.2f\n', name, n, 1e3 * t, 1e3 * ref, t / ref);
    end
  end
end

function out5(f, varargin)
  [~, ~, ~, ~, ~] = f(varargin{:});
end

function out4(f, varargin)
  [~, ~, ~, ~] = f(varargin{:});
end

function tremlo3(varargin)
  [~, ~, ~] = tremlo(varargin{:});
end
