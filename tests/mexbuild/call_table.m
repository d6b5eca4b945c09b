function C = call_table()
% The calls on which two builds of the modules must agree: every tremlo operator with every
% warp type and output count, its settings and special codes; every input class, complex
% inputs and refused arrays; each step module with each output count and kernel; a bad call
% of each module and the errors the modules raise. Fields: name, fn, nout, args.
  I = round(100 + 50 * sin((0:127)' / 6) + 50 * cos((0:127) / 9));  % 0..200
  T = I(40:80, 30:70);                                               % centre (59, 49) from 0
  T2 = I(40:79, 30:69);                                              % even size
  p = [0.01; -0.02; 0.015; 0.01; 59.3; 48.8];
  warps = {[59.3; 48.8], [59.3; 48.8; 0.02], [59.3; 48.8; 0.02; 0.01], p};
  types = [2 3 4 6];
  C = struct('name', {}, 'fn', {}, 'nout', {}, 'args', {});

  % tremlo: every operator (0 and 100 are codes of plain MI), warp type and output count.
  for op = [0 1 2 3 4 5 6 7 11 100]
    for w = 1:4
      for nout = 0:4
        C = add(C, sprintf('tremlo op %d warp %d nout %d', op, types(w), nout), 'tremlo', ...
                nout, T, I, warps{w}, [types(w) op 1 1 1]);
      end
    end
  end
  % Orders and interpolations, rates, windows, several warps, codes read loosely.
  for op = [3 4 5 6 7]
    for order = 0:3
      for interp = [0 1 3 2]
        C = add(C, sprintf('tremlo op %d order %d interp %d', op, order, interp), 'tremlo', ...
                4, T, I, p, [6 op order interp 1]);
      end
    end
  end
  for op = [1 2 3 4 11]
    for rate = [2 0.5 1.5 1e-7]
      C = add(C, sprintf('tremlo op %d rate %g', op, rate), 'tremlo', 3, T, I, p, [6 op 1 1 rate]);
    end
  end
  Z = {[0.25 0.5 0.25], [0.25; 0.5; 0.25], ones(3) / 9, [], 1, [1 2 1]};
  for op = [3 4 5 6]
    for z = 1:numel(Z)
      C = add(C, sprintf('tremlo op %d window %d', op, z), 'tremlo', 4, T, I, p, ...
              [6 op 2 1 1], Z{z});
    end
  end
  Wmany = [p, p + [0; 0; 0; 0; 1; -0.5], p - [0.01; 0; 0; 0.01; 0.7; 0.2]];
  for op = [1 3 5 6 11]
    C = add(C, sprintf('tremlo op %d three warps', op), 'tremlo', 4, T, I, Wmany, [6 op 1 1 1]);
  end
  C = add(C, 'tremlo W of 13 values', 'tremlo', 3, T, I, [p; p; 7], [6 1 1 1 1]);
  C = add(C, 'tremlo W shorter than a warp', 'tremlo', 3, T, I, [1; 2], [6 1 1 1 1]);
  C = add(C, 'tremlo warp code 26', 'tremlo', 3, T, I, p, [26 3 1 1 1]);
  C = add(C, 'tremlo codes 6.9, 1.7', 'tremlo', 3, T, I, p, [6.9 1.7 1 1 1]);
  C = add(C, 'tremlo P of 6, as a column', 'tremlo', 3, T, I, p, [6; 3; 1; 1; 1; 9]);
  C = add(C, 'tremlo template bigger than I', 'tremlo', 2, I, T, [20; 20], [2 1 1 1 1]);
  C = add(C, 'tremlo even template', 'tremlo', 3, T2, I, [58.5; 48.5], [2 2 1 3 1]);
  C = add(C, 'tremlo zoomed op 7', 'tremlo', 4, T, I, [0.5; 0.1; -0.1; 0.4; 60; 50], [6 7 1 1 1]);

  % Every input class, and complex arrays: the real part is read.
  classes = {'double', 'single', 'logical', 'int8', 'uint8', 'int16', 'uint16', 'int32', ...
             'uint32', 'int64', 'uint64'};
  for c = 1:numel(classes)
    cast = @(x) feval(classes{c}, x);
    for op = [1 3]
      C = add(C, sprintf('tremlo T %s op %d', classes{c}, op), 'tremlo', 4, cast(T), I, p, [6 op 1 1 1]);
      C = add(C, sprintf('tremlo I %s op %d', classes{c}, op), 'tremlo', 3, T, cast(I), p, [6 op 1 1 1]);
      C = add(C, sprintf('tremlo T, I %s less 100, op %d', classes{c}, op), 'tremlo', 3, ...
              cast(T - 100), cast(I - 100), p, [6 op 1 1 1]);
    end
    C = add(C, sprintf('tremlo W, P, Z %s', classes{c}), 'tremlo', 3, T, I, ...
            cast(round(warps{1})), cast([2 3 1 1 1]), cast([0 1 0]));
    C = add(C, sprintf('dornask T %s', classes{c}), 'dornask', 5, cast(T), I, round(p));
    C = add(C, sprintf('dornesk I %s', classes{c}), 'dornesk', 4, T, cast(I), round(p));
    C = add(C, sprintf('pelvask T, I %s', classes{c}), 'pelvask', 4, cast(T), cast(I), round(p));
    C = add(C, sprintf('pelvesk p %s', classes{c}), 'pelvesk', 4, T, I, cast(round(p)));
    C = add(C, sprintf('quillet %s', classes{c}), 'quillet', 1, cast([9 7]), cast(I), cast(round(p)));
  end
  for cplx = {@double, @single}
    k = func2str(cplx{1});
    Tc = complex(cplx{1}(T), cplx{1}(3 * T));
    Ic = complex(cplx{1}(I), cplx{1}(-I));
    C = add(C, ['tremlo complex T ' k], 'tremlo', 4, Tc, I, p, [6 3 1 1 1]);
    C = add(C, ['tremlo complex I ' k], 'tremlo', 3, T, Ic, p, [6 1 1 1 1]);
    C = add(C, ['tremlo complex W, P ' k], 'tremlo', 3, T, I, complex(p, 1), complex([6 5 3 1 1], 2));
    C = add(C, ['dornask complex ' k], 'dornask', 5, Tc, Ic, complex(round(p), 1), complex([0.5 0.5], 1));
    C = add(C, ['dornesk complex ' k], 'dornesk', 4, Tc, I, round(p));
    C = add(C, ['pelvask complex ' k], 'pelvask', 4, Tc, Ic, p);
    C = add(C, ['pelvesk complex ' k], 'pelvesk', 4, T, Ic, complex(p, -1));
    C = add(C, ['quillet complex ' k], 'quillet', 1, complex([9 7], 1), Ic, complex(p, 2));
  end
  C = add(C, 'tremlo 3-D and 4-D T', 'tremlo', 3, repmat(T, [1 1 2]), I, p, [6 1 1 1 1]);
  C = add(C, 'tremlo 4-D I', 'tremlo', 3, T, repmat(I, [1 1 1 2]), p, [6 1 1 1 1]);
  C = add(C, 'tremlo 5-D T', 'tremlo', 1, ones(2, 2, 1, 1, 2), I, p, [6 1 1 1 1]);
  C = add(C, 'tremlo char T', 'tremlo', 1, char(T), I, p, [6 1 1 1 1]);
  C = add(C, 'tremlo cell W', 'tremlo', 2, T, I, {p}, [6 1 1 1 1]);
  C = add(C, 'tremlo struct P', 'tremlo', 2, T, I, p, struct('a', 1));
  C = add(C, 'tremlo sparse I', 'tremlo', 1, T, sparse(I), p, [6 1 1 1 1]);
  C = add(C, 'tremlo empty T', 'tremlo', 3, zeros(0, 3), I, p, [6 1 1 1 1]);
  C = add(C, 'pelvask sparse T', 'pelvask', 1, sparse(T), I, p);
  C = add(C, 'quillet char S', 'quillet', 1, 'ab', I, p);

  % The step modules: each output count, kernels, warps, region sizes.
  K = {[0.25 0.5 0.25], [0.25; 0.5; 0.25], [1 2 1; 2 4 2; 1 2 1] / 16};
  for nout = 0:5
    C = add(C, sprintf('dornask nout %d', nout), 'dornask', nout, T, I, p);
    for k = 1:numel(K)
      C = add(C, sprintf('dornask nout %d kernel %d', nout, k), 'dornask', nout, T, I, p, K{k});
    end
  end
  for nout = 0:4
    C = add(C, sprintf('dornesk nout %d', nout), 'dornesk', nout, T, I, p');
    for k = 1:numel(K)
      C = add(C, sprintf('dornesk nout %d kernel %d', nout, k), 'dornesk', nout, T, I, p, K{k});
    end
    for fn = {'pelvask', 'pelvesk'}
      C = add(C, sprintf('%s nout %d', fn{1}, nout), fn{1}, nout, T, I, p);
      C = add(C, sprintf('%s nout %d even, at the truth', fn{1}, nout), fn{1}, nout, T2, I, ...
              [0 0 0 0 58 48]);
      C = add(C, sprintf('%s nout %d p of 7 as a row', fn{1}, nout), fn{1}, nout, T, I, [p' 5]);
    end
  end
  S = {[3 3], [4 4], [2.9 3], [40 40], [0 5], [41; 41; 9]};
  for s = 1:numel(S)
    C = add(C, sprintf('quillet size %d', s), 'quillet', 1, S{s}, I, p);
  end
  C = add(C, 'quillet nout 0', 'quillet', 0, [9 9], I, [0 0 0 0 10 20]);
  C = add(C, 'quillet outside I', 'quillet', 1, [9 9], I, [0.3 0.1 -0.2 0.5 -40 300]);

  % A bad call of each module, and the errors raised inside a computation.
  C = add(C, 'tremlo 3 inputs', 'tremlo', 1, T, I, p);
  C = add(C, 'tremlo 5 outputs', 'tremlo', 5, T, I, p, [6 1 1 1 1]);
  C = add(C, 'tremlo P of 4', 'tremlo', 2, T, I, p, [6 1 1 1]);
  C = add(C, 'tremlo warp type 5', 'tremlo', 2, T, I, p, [5 1 1 1 1]);
  C = add(C, 'tremlo warp type 0', 'tremlo', 1, T, I, p, [0 1 1 1 1]);
  C = add(C, 'tremlo NaN code', 'tremlo', 1, T, I, p, [6 NaN 1 1 1]);
  C = add(C, 'tremlo negative intensity op 3', 'tremlo', 1, T - 150, I, p, [6 3 1 1 1]);
  C = add(C, 'tremlo non-finite intensity op 4', 'tremlo', 1, [T; Inf(1, 41)], I, p, [6 4 1 1 1]);
  Tbig = T;
  Tbig(1) = 3e5;
  C = add(C, 'tremlo histogram too large', 'tremlo', 4, Tbig, I, [59; 49], [2 3 1 1 1]);
  C = add(C, 'tremlo rate too low', 'tremlo', 1, T, I, p, [6 1 1 1 1e-5]);
  C = add(C, 'dornask 2 inputs', 'dornask', 1, T, I);
  C = add(C, 'dornask 6 outputs', 'dornask', 6, T, I, p);
  C = add(C, 'dornask empty T', 'dornask', 1, [], I, p);
  C = add(C, 'dornask empty kernel', 'dornask', 2, T, I, p, []);
  C = add(C, 'dornesk 5 outputs', 'dornesk', 5, T, I, p);
  C = add(C, 'dornesk 5 inputs', 'dornesk', 1, T, I, p, 1, 1);
  C = add(C, 'pelvask 4 inputs', 'pelvask', 1, T, I, p, []);
  C = add(C, 'pelvask 5 outputs', 'pelvask', 5, T, I, p);
  C = add(C, 'pelvask short p', 'pelvask', 1, T, I, [1 2 3]);
  C = add(C, 'pelvesk 2 inputs', 'pelvesk', 1, T, I);
  C = add(C, 'pelvesk empty I', 'pelvesk', 2, T, [], p);
  C = add(C, 'quillet 2 outputs', 'quillet', 2, [3 3], I, p);
  C = add(C, 'quillet 2 inputs', 'quillet', 1, [3 3], I);
  C = add(C, 'quillet region too large', 'quillet', 1, [1e5 1e5], I, p);
end

function C = add(C, name, fn, nout, varargin)
  C(end + 1) = struct('name', name, 'fn', fn, 'nout', nout, 'args', {varargin});
end
