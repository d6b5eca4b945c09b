% tremlo's argument errors: exact text on standard output, 1x1 single zeros in every
% requested slot, the call returning normally; failures inside become host errors.
[usage, help] = tremlo_texts();
report = @(msg) ["\ntremlo Error: " msg "\n" usage "\n\nAborting...\n"];
inputs = "4-5 inputs required (T,I,Warp,Param,<Parzen>).";
outputs = "1-3 outputs required (Y,D,DD).";
empty = "An input has zero dimension or invalid type(struct/array).";
warpType = "Parameter (4th) input: the warp type P(1) must be 2, 3, 4 or 6 (taken modulo 10).";
codes = "Parameter (4th) input: P(1) to P(4) must be finite integers.";
finite = "T and I must hold finite values for a histogram-based operator.";
negative = "T and I must hold non-negative values for a histogram-based operator.";
positions = "Warp too large for operator 7: its cells span more than 67108864 reference positions.";
pieces = "Warp too large for operator 7: its cells would be cut into more than 268435456 pieces.";
bigger = "tremlo Warning - Tmp bigger then Ref Image.";
tooLow = "Sampling rate too low: more than 268435456 samples per warp.";
tooLowAxis = "Sampling rate too low: more than 1048576 samples along a template axis.";

T = magic(4); I = magic(6); W = [0; 0]; P = [2 1 1 1 1];
Tnan = T; Tnan(2, 3) = NaN;
Iinf = I; Iinf(1) = Inf;
Tneg = T; Tneg(3, 2) = -0.5;
% {nlhs, arguments, printed text}
cases = {
  0, {T, I, W},                     report(inputs)
  1, {T, I, W},                     report(inputs)
  3, {},                            report(inputs)
  2, {T, I, W, P, 1, 2},            report(inputs)
  5, {T, I, W},                     report(inputs)
  5, {T, I, W, P},                  report(outputs)
  6, {T, I, W, P, 1},               report(outputs)
  1, {[], I, W, P},                 report(empty)
  2, {T, zeros(0, 3), W, P},        report(empty)
  1, {T, I, [], P},                 report(empty)
  1, {T, I, W, []},                 report(empty)
  3, {{T}, I, W, P},                report(empty)
  1, {T, 'abc', W, P},              report(empty)
  1, {T, I, struct('w', 0), P},     report(empty)
  1, {ones(2, 2, 1, 1, 2), I, W, P}, report(empty)
  1, {sparse(T), I, W, P},          report(empty)
  1, {T, I, W, @sin},               report(empty)
  1, {T, I, W, [2 1 1 1]},          report(help)
  4, {T, I, W, [2; 1; 1; 1]},       report(help)
  0, {T, I, W, 2},                  report(help)
  1, {T, I, W, [0 1 1 1 1]},        report(warpType)
  1, {T, I, W, [1 1 1 1 1]},        report(warpType)
  1, {T, I, W, [5 1 1 1 1]},        report(warpType)
  1, {T, I, W, [10 1 1 1 1]},       report(warpType)
  1, {T, I, W, [0.5 1 1 1 1]},      report(warpType)
  1, {T, I, W, [-6 1 1 1 1]},       report(warpType)
  1, {T, I, W, [-2 1 1 1 1]},       report(warpType)
  2, {T, I, W, [NaN 1 1 1 1]},      report(codes)
  1, {T, I, W, [Inf 1 1 1 1]},      report(codes)
  1, {T, I, W, [2 NaN 1 1 1]},      report(codes)
  1, {T, I, W, [2 1 Inf 1 1]},      report(codes)
  3, {T, I, W, [2 1 1 -Inf 1]},     report(codes)
  1, {T, I, W, [2 1e10 1 1 1]},     report(codes)
  1, {T, I, W, [2 3 1 1 1]} ,       ''
  1, {Tnan, I, W, [2 3 1 1 1]},     report(finite)
  1, {T, Iinf, W, [2 3 1 1 1]},     report(finite)
  1, {T, -Iinf, W, [2 4 1 1 1]},    report(finite)
  3, {Tnan, I, W, [2 5 1 1 1]},     report(finite)
  1, {Tnan, I, W, [2 6 1 1 1]},     report(finite)
  1, {T, Iinf, W, [2 7 1 1 1]},     report(finite)
  4, {Tnan, I, W, [2 100 1 1 1]},   report(finite)
  1, {Tnan, I, W, [2 0 1 1 1]},     report(finite)
  1, {Tnan, I, W, [2 -3 1 1 1]},    report(finite)
  1, {Tneg, I, W, [2 3 1 1 1]},     report(negative)
  3, {T, -I, W, [2 4 1 1 1]},       report(negative)
  1, {T - 5, I, W, [2 5 1 1 1]},    report(negative)
  4, {T, I - 40, W, [2 6 1 1 1]},   report(negative)
  1, {Tneg, I, W, [2 7 1 1 1]},     report(negative)
  1, {T, int8(I) - 2, W, [2 100 1 1 1]}, report(negative)
  1, {Tneg, -Iinf, W, [2 3 1 1 1]}, report(finite)
  2, {T, I, [1e7; 0; 0; 0; 4; 4], [6 7 1 1 1]},              report(positions)
  1, {T, I, [4 4; 4 4; 0.3 0.3; 0 299], [4 7 1 1 1]},       report(pieces)
  1, {I, T, W, [5 1 1 1 1]},        [bigger report(warpType)]
  2, {T, I, W, [2 1 1 1 1e-5]},     report(tooLow)
  1, {T, I, W, [2 3 1 1 1e-4]},     report(tooLow)
  3, {T, I, W, [2 2 1 3 1e-4]},     report(tooLow)
  1, {(1:4)', I, W, [2 2 1 1 2e-6]}, report(tooLowAxis)
  1, {(1:4)', I, W, [2 1 1 1 1e-5]}, ''
  1, {T, I, W, [2 5 1 1 1e-5]},     ''
  1, {T, I, W, [2 6 1 1 1e-5]},     ''
};
for i = 1:rows(cases)
  [nout, args, want] = cases{i, :};
  args0 = args;
  [txt, outs] = tremlo_call(nout, args{:});
  assert(strcmp(txt, want), 'case %d printed:\n[%s]', i, txt);
  if isempty(want), continue; end
  for k = 1:nout
    assert(strcmp(class(outs{k}), 'single') && isequal(outs{k}, single(0)), ...
           'case %d: output %d is not a 1x1 single zero', i, k);
  end
  assert(isequaln(args, args0), 'case %d changed its inputs', i);
end

% A rate of 1e-5 over a 401 x 401 template (1.6e15 samples) is refused at once.
tic;
[txt, outs] = tremlo_call(1, zeros(401), zeros(401), [200; 200], [2 1 1 1 1e-5]);
assert(strcmp(txt, report(tooLow)) && isequal(outs{1}, single(0)) && toc < 5);

% Operators that do not bin intensities take non-finite and negative values without complaint.
for op = [1 2 11]
  [txt, outs] = tremlo_call(1, Tnan, I, W, [2 op 1 1 1]);
  assert(isempty(txt) && isnan(outs{1}), 'operator %d', op);
  [txt, outs] = tremlo_call(1, T - 20, -I, W, [2 op 1 1 1]);
  [txt0, outs0] = tremlo_call(1, 20 - T, I, W, [2 op 1 1 1]);
  assert(isempty(txt) && isempty(txt0) && isfinite(outs{1}) && abs(outs{1} - outs0{1}) <= 1e-5 * abs(outs0{1}), ...
         'operator %d', op);
end

% Operator 7 refuses a warp beyond its bounds at once, also after warps within them.
tic;
[txt, outs] = tremlo_call(1, magic(40), rand(200) * 50, [20 1e6; 20 1e6; 0.3 0.3; 0 300], [4 7 1 1 1]);
assert(toc < 5 && strcmp(txt, report(positions)) && isequal(outs{1}, single(0)));

% Intensities too large for a joint histogram end in a host error, and the host lives on.
for big = [1e9 1e12 1e30]
  for op = [3 4 5 6 7]
    err = [];
    try
      tremlo(T, I * big, W, [2 op 1 1 1]);
    catch err
    end
    assert(!isempty(err) && strcmp(err.identifier, 'tremlo:histogramTooLarge'), ...
           'operator %d at %g', op, big);
  end
end
