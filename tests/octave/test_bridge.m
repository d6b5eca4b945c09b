% MATLAB array conversion, the argument-error report and the call guard, through bridgecheck.
LOGICAL = 3; DOUBLE = 6; SINGLE = 7; INT8 = 8; UINT8 = 9; INT32 = 12; CHAR = 4;

% Dimension mapping: {array, asChannels, [width height depth channels]}
cases = {
  reshape(1:6, 1, 6),   0, [1 6 1 1]
  (1:6)',               0, [6 1 1 1]
  rand(2, 3, 4),        0, [2 3 4 1]
  rand(2, 3, 4),        1, [2 3 1 4]
  rand(2, 3, 4, 5),     0, [2 3 4 5]
  rand(2, 3, 4, 5),     1, [2 3 4 5]
  zeros(0, 5),          0, [0 5 1 1]
  zeros(3, 0, 2),       0, [3 0 2 1]
  uint16(zeros(2, 0)),  0, [2 0 1 1]
  ones(2, 2, 2, 2, 2),  0, [0 0 0 0]
  'abc',                0, [0 0 0 0]
  {1, 2},               0, [0 0 0 0]
  struct('a', 1),       0, [0 0 0 0]
  @sin,                 0, [0 0 0 0]
  sparse([1 0 2]),      0, [0 0 0 0]
  sparse([true false]), 0, [0 0 0 0]
};
for i = 1:rows(cases)
  [A, asCh, want] = cases{i, :};
  for pix = {'double', 'float'}
    dims = bridgecheck(pix{1}, A, asCh, 0);
    assert(isequal(dims, want), 'case %d (%s): dims %s', i, pix{1}, mat2str(dims));
  end
end

% Values: every accepted class reads exactly (64-bit integers to the nearest double).
vals = {
  true,                       1
  [true false true],          [1 0 1]
  uint8(255),                 255
  int8([-128 127]),           [-128 127]
  int16([-32768 32767]),      [-32768 32767]
  uint16(65535),              65535
  int32([intmin('int32') intmax('int32')]), [-2^31 2^31-1]
  uint32(intmax('uint32')),   2^32-1
  int64(9007199254740992) + 1, 9007199254740992
  int64(intmin('int64')),     -2^63
  uint64(intmax('uint64')),   2^64
  single([0.1 -3.5]),         double(single([0.1 -3.5]))
  [0.1 -2.5 1e300],           [0.1 -2.5 1e300]
  [1+2i, 3-4i],               [1 3]
};
for i = 1:rows(vals)
  [A, want] = vals{i, :};
  [~, out] = bridgecheck('double', A, 0, 0);
  assert(strcmp(class(out), 'double'));
  assert(isequal(out, want), 'value case %d: %s', i, mat2str(out));
  assert(isequal(bridgecheck('copy', A), double(single(want))), 'copy case %d', i);
end
% Float pixels round to the nearest float.
[~, out] = bridgecheck('float', int32(16777217), 0, 0);
assert(isequal(out, 16777216));

% Output classes: truncation toward zero, low bits kept, logical is "not 0".
x = [2.9 -2.9 0 300.7 -1.5 NaN];
outs = {
  INT32,   int32([2 -2 0 300 -1 0])
  INT8,    int8([2 -2 0 44 -1 0])
  UINT8,   uint8([2 254 0 44 255 0])
  LOGICAL, logical([1 1 0 1 1 1])
  SINGLE,  single(x)
  DOUBLE,  x
};
for i = 1:rows(outs)
  [cls, want] = outs{i, :};
  [~, out] = bridgecheck('double', x, 0, 0, cls);
  assert(strcmp(class(out), class(want)), 'class case %d', i);
  assert(isequaln(out, want), 'class case %d: %s', i, mat2str(out));
end
[~, out] = bridgecheck('double', [1e30 -1e30], 0, 0, INT32);   % beyond int64: saturated first
assert(isequal(out, int32([-1 0])));
txt = evalc('[~, out] = bridgecheck(''double'', 1, 0, 0, CHAR);');
assert(strcmp(txt, 'null') && isempty(out));

% Output dimensions: trailing ones dropped by the host; channels as the third dimension.
[~, out] = bridgecheck('double', (1:6)', 0, 0);
assert(isequal(size(out), [6 1]));
A = rand(2, 3, 1, 3);
[~, out] = bridgecheck('double', A, 0, 0);
assert(isequal(size(out), [2 3 1 3]) && isequal(out, A));
[~, out] = bridgecheck('double', A, 1, 0);
assert(isequal(size(out), [2 3 3]) && isequal(out(:), A(:)));
[~, out] = bridgecheck('double', zeros(0, 5), 0, 0);
assert(isequal(size(out), [0 5]));

% Sharing: only when the class holds the pixel type; else a converted copy.
share = {
  'double', rand(3),           true
  'double', single(rand(3)),   false
  'float',  single(rand(3)),   true
  'float',  rand(3),           false
  'double', int8([1 2]),       false
};
for i = 1:rows(share)
  [pix, A, want] = share{i, :};
  A0 = A;
  [~, out, shared] = bridgecheck(pix, A, 0, 1);
  assert(shared == want, 'share case %d', i);
  if strcmp(pix, 'float'), A1 = double(single(A)); else, A1 = double(A); end
  assert(isequal(out, A1) && isequal(A, A0), 'share case %d values', i);
end

% The refusal warning goes to standard error only when asked for.
txt = evalc('dims = bridgecheck(''double'', {1}, 0, 0, DOUBLE, 1);');
assert(isempty(txt) && isequal(dims, [0 0 0 0]));
mexdir = fileparts(which('bridgecheck'));
octave = fullfile(OCTAVE_HOME, 'bin', 'octave-cli');
warned = 'Matlab array is more than 4D or/and not numerical, returning null image.';
for w = [0 1]
  cmd = sprintf(['"%s" --norc --quiet --eval "addpath(''%s''); ' ...
                 'bridgecheck(''double'', {1}, 0, 0, 6, %d);" 2>&1 >/dev/null'], octave, mexdir, w);
  [st, err] = system(cmd);
  assert(st == 0);
  assert(isempty(strfind(err, warned)) == !w, 'warning flag %d: %s', w, err);
end

% Argument-error report: text on standard output, 1x1 single zeros in every slot.
want = "\nbridgecheck Error: boom\nbridgecheck usage\n\nAborting...\n";
for n = 0:3
  outs = cell(1, n);
  if n == 0
    txt = evalc('bridgecheck(''err'', ''boom'');');
  else
    txt = evalc('[outs{:}] = bridgecheck(''err'', ''boom'');');
  end
  assert(strcmp(txt, want), 'nlhs %d: [%s]', n, txt);
  for k = 1:n
    assert(isequal(outs{k}, single(0)) && strcmp(class(outs{k}), 'single'));
  end
end

% Standard output keeps its order with the host's own output.
assert(strcmp(evalc('bridgecheck(''print'', ''a'', ''b'');'), "aba\n"));

% Every exception becomes a host error with the module's identifier; the host survives.
kinds = {
  'cimg',  'bridgecheck:imageLibrary', 'Empty instance'
  'alloc', 'bridgecheck:outOfMemory',  'Out of memory'
  'std',   'bridgecheck:exception',    'plain failure'
  'failure', 'bridgecheck:badInput',   'named failure'
  'other', 'bridgecheck:unknown',      'Unknown exception'
};
for i = 1:rows(kinds)
  [kind, id, text] = kinds{i, :};
  for rep = 1:2
    err = [];
    txt = evalc('try, y = bridgecheck(''throw'', kind); catch err, end');
    assert(!isempty(err), 'no error for %s', kind);
    assert(strcmp(err.identifier, id), 'identifier %s', err.identifier);
    assert(!isempty(strfind(err.message, text)), 'message %s', err.message);
    assert(strcmp(txt, ["before " kind "\n"]), 'printed [%s]', txt);
    assert(!exist('y', 'var'));
  end
end
% Standard output is back to normal after a failed call.
assert(strcmp(evalc('bridgecheck(''print'', ''c'', ''d'');'), "cdc\n"));
