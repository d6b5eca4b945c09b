function cases = hardening_cases()
% The table of bad calls: one row per call, with the module, the number of outputs requested, the
% inputs (an expression giving a cell array, read by hardening_child, where T, I, W, P, W6, p, K and
% S are valid inputs and put(x, idx, v) sets elements) and the endings accepted: 'report' (the
% module's error report with placeholders), 'host' (an error raised by the module), 'result' (a
% normal return), several joined by '|', or 'any' (any of the three).
  cases = struct('module', {}, 'nout', {}, 'args', {}, 'expect', {});
  cases = [cases, tremlo_cases(), step_cases('dornask', 5, true), step_cases('dornesk', 4, true), ...
           step_cases('pelvask', 4, false), step_cases('pelvesk', 4, false), quillet_cases()];
end

function c = row(module, nout, args, expect)
  c = struct('module', module, 'nout', nout, 'args', args, 'expect', expect);
end

function c = kinds(module, nout, base, pos, expect_bad, expect_sparse)
  % Each unusable kind of array in input POS of the valid input list BASE.
  bad = {'{1}', 'struct(''a'', 1)', '''abc''', '@sin', 'ones(2, 2, 1, 1, 2)', ...
         '[]', 'zeros(0, 3)', 'zeros(3, 0)', 'zeros(2, 2, 0)'};
  c = struct('module', {}, 'nout', {}, 'args', {}, 'expect', {});
  for k = 1:numel(bad)
    c(end + 1) = row(module, nout, with_arg(base, pos, bad{k}), expect_bad);
  end
  c(end + 1) = row(module, nout, with_arg(base, pos, sprintf('sparse(%s)', base{pos})), expect_sparse);
  c(end + 1) = row(module, nout, with_arg(base, pos, sprintf('%s + 1i', base{pos})), 'result');
end

function s = with_arg(base, pos, value)
  base{pos} = value;
  s = args_text(base);
end

function s = args_text(list)
  s = ['{' strjoin(list, ', ') '}'];
end

function c = tremlo_cases()
  m = 'tremlo';
  base = {'T', 'I', 'W', 'P'};
  valid = args_text(base);
  c = [row(m, 1, '{}', 'report'), row(m, 1, '{T}', 'report'), row(m, 1, '{T, I}', 'report'), ...
       row(m, 1, '{T, I, W}', 'report'), row(m, 1, '{T, I, W, P, [], 1}', 'report'), ...
       row(m, 0, '{T, I}', 'report'), row(m, 5, valid, 'report'), row(m, 6, valid, 'report'), ...
       row(m, 0, valid, 'result'), row(m, 4, valid, 'result')];
  for pos = 1:4
    c = [c, kinds(m, 3, base, pos, 'report', 'report')];
  end
  c = [c, kinds(m, 4, {'T', 'I', 'W', '[2 3 1 1 1]', '[0.5 1 0.5]'}, 5, 'any', 'any')];
  c = [c, row(m, 4, '{T, I, W, [2 3 1 1 1], []}', 'result')];

  % Warp codes: only remainders 2, 3, 4 and 6 are usable.
  for code = {'0', '1', '5', '-2', '-6', '10', '0.5', '1e10', 'NaN', 'Inf', '-Inf'}
    c(end + 1) = row(m, 3, sprintf('{T, I, W6, [%s 1 1 1 1]}', code{1}), 'report');
  end
  c(end + 1) = row(m, 3, '{T, I, W6, [26 1 1 1 1]}', 'result');
  % Operator, spline order and interpolation: non-finite codes are reported, others must not crash.
  for v = {'NaN', 'Inf', '-Inf'}
    for el = 2:4
      c(end + 1) = row(m, 3, sprintf('{T, I, W, put([2 3 1 1 1], %d, %s)}', el, v{1}), 'report');
    end
  end
  for op = {'0', '-1', '8', '12', '100', '1e10', '-1e10'}
    c(end + 1) = row(m, 4, sprintf('{T, I, W, [2 %s 1 1 1]}', op{1}), 'any');
  end
  for op = [3 4 5 7]
    for order = {'-1', '4', '9', '1e10'}
      c(end + 1) = row(m, 3, sprintf('{T, I, W, [2 %d %s 1 1]}', op, order{1}), 'any');
    end
  end
  for op = [1 3 4 6]
    for interp = {'-1', '2', '4', '1e10'}
      c(end + 1) = row(m, 3, sprintf('{T, I, W, [2 %d 1 %s 1]}', op, interp{1}), 'any');
    end
  end
  % Sampling rates: tiny and non-positive rates fall back to 1; non-finite and huge ones must not hang.
  for op = [1 3 5 6]
    for rate = {'0', '-1', '1e-9', '100', '1e7', 'NaN', 'Inf'}
      c(end + 1) = row(m, 3, sprintf('{T, I, W, [2 %d 1 1 %s]}', op, rate{1}), 'any');
    end
  end
  % Parameter vectors: too short is reported; extra elements and other shapes are read in order.
  c = [c, row(m, 3, '{T, I, W, [2 1 1 1]}', 'report'), row(m, 3, '{T, I, W, 2}', 'report'), ...
       row(m, 3, '{T, I, W, [2 1 1 1 1 7]}', 'result'), row(m, 3, '{T, I, W, [2; 1; 1; 1; 1]}', 'result'), ...
       row(m, 3, '{T, I, W, reshape([2 1 1 1 1], 1, 1, 5)}', 'result')];

  % Intensities, for every measure: non-finite and negative values cannot be binned by the
  % histogram measures.
  for op = [1 2 3 4 5 6 7 11]
    hist = ~any(op == [1 2 11]);
    for where = {'T', 'I'}
      for v = {'NaN', 'Inf', '-Inf'}
        c(end + 1) = row(m, 4, put_arg(base, where{1}, sprintf('put(%s, 5, %s)', where{1}, v{1}), op), ...
                         pick(hist, 'report', 'any'));
      end
      c(end + 1) = row(m, 4, put_arg(base, where{1}, sprintf('put(%s, 5, -3)', where{1}), op), ...
                       pick(hist, 'report', 'result'));
      c(end + 1) = row(m, 4, put_arg(base, where{1}, sprintf('-%s', where{1}), op), pick(hist, 'report', 'result'));
      c(end + 1) = row(m, 4, put_arg(base, where{1}, sprintf('put(%s, 5, 1e7)', where{1}), op), ...
                       pick(hist, 'host|report', 'any'));
    end
  end
  for op = [3 5]
    for v = {'3e9', '1e10', 'intmax(''int64'')', 'intmin(''int64'')', 'intmax(''uint64'')'}
      c(end + 1) = row(m, 4, sprintf('{put(T, 5, %s), I, W, [2 %d 1 1 1]}', v{1}, op), 'any');
    end
  end

  % Warps: non-finite and huge parameters, for every warp type and measure.
  warps = {'2', '[%s; 4]'; '3', '[4; 4; %s]'; '4', '[4; 4; 0; %s]'; '6', '[%s; 0; 0; 0; 4; 4]'};
  for op = [1 2 3 4 5 6 7]
    for w = 1:rows(warps)
      for v = {'NaN', 'Inf', '1e7', '-1e7'}
        c(end + 1) = row(m, 4, sprintf(['{T, I, ' warps{w, 2} ', [%s %d 1 1 1]}'], v{1}, warps{w, 1}, op), 'any');
      end
    end
  end
  c = [c, row(m, 3, '{T, I, 1, P}', 'result'), row(m, 3, '{T, I, zeros(13, 1), [6 1 1 1 1]}', 'result'), ...
       row(m, 3, '{T, I, repmat(W, 1, 50), P}', 'result')];

  % Parzen windows of odd shapes and values, for the three measures that use one.
  for op = [3 4 5]
    for z = {'NaN', 'Inf', '-ones(3)', '1e7 * ones(3)', 'ones(3, 3, 2)', 'ones(3, 3, 1, 2)', ...
             'ones(40, 1)', 'zeros(1, 0)'}
      c(end + 1) = row(m, 4, sprintf('{T, I, W, [2 %d 1 1 1], %s}', op, z{1}), 'any');
    end
  end

  % Image shapes and classes.
  for op = [1 3 4 5 6 7]
    P_op = sprintf('[2 %d 1 1 1]', op);
    for ti = {'ones(1), I', 'T, ones(1)', 'ones(1), ones(1)', 'I, T', 'T(:, 1), I', 'T(1, :), I', ...
              'cat(3, T, T), I', 'T, cat(3, I, I)', 'ones(8, 8, 1, 2), I', 'T, ones(16, 16, 1, 3)', ...
              'logical(mod(T, 2)), uint8(I)', 'int8(T) - 5, I', 'single(T), int64(I)'}
      c(end + 1) = row(m, 4, sprintf('{%s, W, %s}', ti{1}, P_op), 'any');
    end
  end
end

function s = put_arg(base, where, value, op)
  base{strcmp(base, where)} = value;
  base{4} = sprintf('[2 %d 1 1 1]', op);
  s = args_text(base);
end

function v = pick(cond, a, b)
  if cond
    v = a;
  else
    v = b;
  end
end

function c = step_cases(m, maxout, kernel)
  % dornask and dornesk (kernel true: T, I, p and an optional kernel K) and pelvask and pelvesk.
  if kernel
    base = {'T', 'I', 'p', 'K'};
    counts = {'{}', '{T, I}', '{T, I, p, K, K}'};
  else
    base = {'T', 'I', 'p'};
    counts = {'{}', '{T, I}', '{T, I, p, []}', '{T, I, p, K}'};
  end
  valid = args_text(base);
  c = struct('module', {}, 'nout', {}, 'args', {}, 'expect', {});
  for k = 1:numel(counts)
    c(end + 1) = row(m, 1, counts{k}, 'report');
  end
  c = [c, row(m, 0, '{T}', 'report'), row(m, maxout + 1, valid, 'report'), ...
       row(m, maxout + 3, valid, 'report'), row(m, 0, valid, 'result'), row(m, maxout, valid, 'result'), ...
       row(m, maxout, '{T, I, p}', 'result')];
  % T: an unusable template ends in an error; I: an empty image is reported; p: fewer than six values too.
  c = [c, kinds(m, maxout, base, 1, 'report|host', 'any'), kinds(m, maxout, base, 2, 'report', 'report|result'), ...
       kinds(m, maxout, base, 3, 'report', 'report|result')];
  if kernel
    c = [c, kinds(m, maxout, base, 4, 'report|host', 'any')];
  end

  % Intensities: the mutual-information steps bin them, so only non-negative finite values are usable.
  % (element 37 of T and element 120 of I are both sampled at p)
  at = [37 120];
  for where = [1 2]
    for v = {'NaN', 'Inf', '-Inf', '-1', '-0.5', '1e7', '1e10', '1e300'}
      args = base;
      args{where} = sprintf('put(%s, %d, %s)', base{where}, at(where), v{1});
      if ~kernel
        e = 'any';
      elseif any(strcmp(v{1}, {'NaN', 'Inf', '-Inf', '-1'}))
        e = 'report';
      elseif any(strcmp(v{1}, {'1e7', '1e10', '1e300'}))
        e = 'host|report';
      else
        e = 'any';
      end
      c(end + 1) = row(m, maxout, args_text(args), e);
    end
  end
  % (element 1 of I lies outside the sampled region)
  for v = {'NaN', '-1', '1e7'}
    c(end + 1) = row(m, maxout, with_arg(base, 2, sprintf('put(I, 1, %s)', v{1})), 'any');
  end
  sized = {'int8(T) - 5', 'I', 'report'; 'T', 'int8(I) - 5', 'report'; ...
           'T', 'intmax(''int64'') * ones(16)', 'host|report|result'; ...
           'logical(mod(T, 2))', 'uint8(I)', 'result'; 'single(T)', 'uint16(I)', 'result'; ...
           'ones(1)', 'I', 'result'; 'T', 'ones(1)', 'result'; 'ones(1)', 'ones(1)', 'result'; ...
           'I', 'T', 'result'; 'T(:, 1)', 'I', 'result'; 'T(1, :)', 'I', 'result'; ...
           'cat(3, T, T)', 'I', 'any'; 'T', 'cat(3, I, I)', 'any'; ...
           'ones(8, 8, 1, 2)', 'I', 'any'; 'T', 'ones(16, 16, 1, 3)', 'any'; 'zeros(8)', 'zeros(16)', 'result'};
  for k = 1:rows(sized)
    args = base;
    args(1:2) = sized(k, 1:2);
    if ~kernel && any(k == [1 2])
      e = 'result';
    else
      e = sized{k, 3};
    end
    c(end + 1) = row(m, maxout, args_text(args), e);
  end

  % Parameters: too short is reported; non-finite and huge values sample far outside I.
  for pv = {'p(1:5)', 'p(1)', 'put(p, 1, NaN)', 'put(p, 5, NaN)', 'put(p, 6, Inf)', 'put(p, 4, -Inf)', ...
            'put(p, 5, 1e7)', 'put(p, 1, 1e7)', 'put(p, 3, -1e300)', '[p 1]', 'p(:)', 'single(p)', 'int8(p)'}
    args = base;
    args{3} = pv{1};
    if any(strcmp(pv{1}, {'p(1:5)', 'p(1)'}))
      e = 'report';
    elseif any(strcmp(pv{1}, {'[p 1]', 'p(:)', 'single(p)', 'int8(p)'}))
      e = 'result';
    else
      e = 'any';
    end
    c(end + 1) = row(m, maxout, args_text(args), e);
  end

  % Kernels: several channels end in an error; other shapes and values must not crash.
  if kernel
    for kv = {'ones(3, 1, 1, 2)', 'ones(1, 1, 1, 3)', 'ones(3, 3, 2)', 'K''', 'ones(3)', 'ones(1, 40)', ...
              'ones(40, 1)', '0', 'NaN', 'Inf', '-K', '1e7 * K', 'put(K, 2, NaN)', 'single(K)', 'logical(K)'}
      args = base;
      args{4} = kv{1};
      if strncmp(kv{1}, 'ones(3, 1, 1', 12) || strncmp(kv{1}, 'ones(1, 1, 1', 12)
        e = 'report|host';
      else
        e = 'any';
      end
      c(end + 1) = row(m, maxout, args_text(args), e);
    end
  end
end

function c = quillet_cases()
  m = 'quillet';
  base = {'S', 'I', 'p'};
  valid = args_text(base);
  c = [row(m, 1, '{}', 'report'), row(m, 1, '{S, I}', 'report'), row(m, 1, '{S, I, p, p}', 'report'), ...
       row(m, 0, '{S}', 'report'), row(m, 2, valid, 'report'), row(m, 3, valid, 'report'), ...
       row(m, 0, valid, 'result'), row(m, 1, valid, 'result')];
  c = [c, kinds(m, 1, base, 1, 'report', 'report|result'), kinds(m, 1, base, 2, 'report', 'report|result'), ...
       kinds(m, 1, base, 3, 'report', 'report|result')];
  % Sizes: zero gives an empty region; negative, non-finite or missing sizes are reported.
  for s = {'[0 0]', '[0 4]', '[4 0]', '[2.9 3]', '[4 4 4]', '[4; 4]', 'uint8([4 4])', '[0.5 0.5]'}
    c(end + 1) = row(m, 1, sprintf('{%s, I, p}', s{1}), 'result');
  end
  for s = {'[-1 4]', '[4 -3]', '[-4 -4]', '[NaN 4]', '[4 NaN]', '[Inf 4]', '[4 -Inf]', '5', 'int8([-4 4])'}
    c(end + 1) = row(m, 1, sprintf('{%s, I, p}', s{1}), 'report');
  end
  c = [c, row(m, 1, '{[-0.5 4], I, p}', 'any'), row(m, 1, '{[1e7 1e7], I, p}', 'host|report'), ...
       row(m, 1, '{[1e300 1], I, p}', 'host|report'), row(m, 1, '{[1 1e300], I, p}', 'host|report')];
  % Images and parameters of odd values and shapes.
  for ip = {'put(I, 5, NaN), p', 'put(I, 5, Inf), p', '-I, p', '1e7 * I, p', 'ones(1), p', 'I(:, 1), p', ...
            'cat(3, I, I), p', 'ones(16, 16, 1, 3), p', 'logical(I), p', 'int8(I) - 5, p', ...
            'I, put(p, 5, 1e7)', 'I, put(p, 2, 1e300)', 'I, [p 1]', 'I, p(:)'}
    c(end + 1) = row(m, 1, sprintf('{S, %s}', ip{1}), 'result');
  end
  for ip = {'put(p, 5, NaN)', 'put(p, 1, NaN)', 'put(p, 6, Inf)', 'put(p, 5, -Inf)'}
    c(end + 1) = row(m, 1, sprintf('{S, I, %s}', ip{1}), 'any');
  end
  c = [c, row(m, 1, '{S, I, p(1:5)}', 'report'), row(m, 1, '{S, I, 0}', 'report')];
end
