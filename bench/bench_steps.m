function bench_steps()
% Each step module beside tremlo's corresponding call at one warp on the same images
% (scene_images: n x n template cut from a 2n x 2n reference, 64 intensity levels), for
% n = 128 and 256: milliseconds per call (best of five rounds) and the ratio.
%   dornask (5 outputs), dornesk (4)  beside  tremlo MI, value, gradient and Hessian
%   pelvask, pelvesk (4 outputs)      beside  tremlo SSD, value, gradient and Hessian
%   quillet (n x n region)            beside  tremlo SSD, value
% and the first output alone beside tremlo's value. Then the MI steps at 64 to 4096 levels
% with kernels of 1 x 1 to 300 x 300 (levels_and_kernels).
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
  levels_and_kernels();
end

function levels_and_kernels()
% A 101 x 101 template in a 256 x 256 reference of the scene at L levels, a normalised
% Gaussian K of w x w (sigma w / 6): milliseconds per call of dornask with 5 outputs, dornesk
% with 4 and dornask's MI alone; the memory the first call at 4096 levels adds to the process.
  printf('\n%-12s %7s %14s %14s %10s\n', 'levels', 'K', 'dornask 5 ms', 'dornesk 4 ms', 'MI ms');
  for c = [64 1; 256 1; 1024 1; 4096 1; 256 31; 1024 31; 4096 31; 64 300]'
    [L, w] = deal(c(1), c(2));
    [~, I] = scene_images(128, L);
    T = I(78:178, 78:178);
    p = [0.01 -0.005 0.004 -0.008 127.6 128.3];
    x = (0:w - 1) - (w - 1) / 2;
    g = exp(-x .^ 2 / (2 * (w / 6)^2));
    K = g' * g / sum(g)^2;
    if L == 4096 && w == 31
      mb = peak_added(@() out5(@dornask, T, I, p, K));
    end
    t = [time_per_call(@() out5(@dornask, T, I, p, K)), time_per_call(@() out4(@dornesk, T, I, p, K)), ...
         time_per_call(@() dornask(T, I, p, K))];
    printf('%-12d %3d x %-3d %14.2f %14.2f %10.2f\n', L, w, w, 1e3 * t);
  end
  printf('memory added by the first call at 4096 levels, 31 x 31: %.0f MB\n', mb);
end

function mb = peak_added(f)
% The growth of the process's peak resident size (Linux) over one call of f().
  mb = NaN;
  h0 = peak_kb();
  f();
  mb = (peak_kb() - h0) / 1024;
end

function k = peak_kb()
  k = NaN;
  if exist('/proc/self/status', 'file')
    t = regexp(fileread('/proc/self/status'), 'VmHWM:\s*(\d+)', 'tokens', 'once');
    if ~isempty(t), k = str2double(t{1}); end
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
