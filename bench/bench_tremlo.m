function bench_tremlo()
% Cost of one tremlo call against the measure's own time, on the images of the C++
% benchmark (bench/fixture.h): a smooth 256 x 256 reference quantised to 64 levels, the
% 128 x 128 template cut from its centre, an affine warp near the identity, bilinear
% sampling, rate 1. For each operator and output count: the time of a call with one warp,
% the time per warp of a call with 64 warps (the measure's own time, conversion and setup
% shared out), and their ratio. Then the histogram measures at the intensity ranges of real
% images: the same scene quantised to 64, 256 and 1024 levels, for 1, 2 and 3 outputs, a
% one-warp call, per warp of a 16-warp call and a one-warp call right after a 16-warp call,
% each against its 64-level time; and a 12-bit (4096-level) one-warp call: its time and the
% memory it adds to the process (peak resident size over the call).
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
  levels(p);
end

function levels(p)
  W = repmat(p, 1, 16) + [1e-3 * randn(4, 16); 0.1 * randn(2, 16)];
  printf('\n%-18s %4s %6s %10s %6s %10s %6s %10s %6s\n', 'operator', 'outs', 'levels', ...
         'call (ms)', 'x 64', 'warp (ms)', 'x 64', 'after 16', 'x 64');
  for c = {{3, 1, 'MI'}, {4, 1, 'PV, order 1'}, {5, 3, 'Parzen, order 3'}}
    [op, order, name] = c{1}{:};
    P = [6 op order 1 1];
    for nout = [1 2 3]
      for L = [64 256 1024]
        [T, I] = scene_images(128, L);
        one = time_per_call(@() call(nout, T, I, p, P));
        many = time_per_call(@() call(nout, T, I, W, P)) / 16;
        after = after16(nout, T, I, p, W, P);
        if L == 64, t64 = [one many after]; end
        printf('%-18s %4d %6d %10.3f %6.2f %10.3f %6.2f %10.3f %6.2f\n', sprintf('%d %s', op, name), nout, L, ...
               1e3 * one, one / t64(1), 1e3 * many, many / t64(2), 1e3 * after, after / t64(3));
      end
    end
  end
  [T, I] = scene_images(128, 4096);
  printf('\n%-26s %6s %12s %16s\n', 'operator, 4096 levels', 'outs', 'call (ms)', 'memory (MB)');
  for c = {{3, 1, 'MI'}, {4, 1, 'PV, order 1'}, {5, 3, 'Parzen, order 3'}, {6, 2, 'area'}}
    [op, order, name] = c{1}{:};
    for nout = [1 2 3]
      call(nout, T, I, p, [6 op order 1 1]);   % warm up
      base = peakReset();
      t0 = tic;
      call(nout, T, I, p, [6 op order 1 1]);
      t = toc(t0);
      printf('%-26s %6d %12.1f %16.1f\n', sprintf('%d %s', op, name), nout, 1e3 * t, ...
             (peakKB() - base) / 1024);
    end
  end
end

% The best time of a one-warp call made right after a 16-warp call.
function t = after16(nout, T, I, p, W, P)
  t = Inf;
  for k = 1:9
    call(nout, T, I, W, P);
    t0 = tic;
    call(nout, T, I, p, P);
    t = min(t, toc(t0));
  end
end

% Resets the process's peak resident size to its current size; returns that size in kB.
function kb = peakReset()
  fid = fopen('/proc/self/clear_refs', 'w');
  if fid >= 0, fprintf(fid, '5'); fclose(fid); end
  kb = peakKB();
end

function kb = peakKB()
  s = fileread('/proc/self/status');
  kb = str2double(regexp(s, 'VmHWM:\s*(\d+)', 'tokens', 'once'){1});
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
