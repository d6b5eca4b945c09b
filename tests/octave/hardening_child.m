function hardening_child(module, nout, expr)
% Runs one hardening case in this process: builds the inputs from EXPR, calls MODULE with NOUT
% outputs, and prints what happened as lines starting with "HARDEN:" for hardening_run to read.
% The inputs are built twice, so the copy compared afterwards shares no buffer with the one passed.
  try
    args = build_inputs(expr);
    keep = build_inputs(expr);
  catch err
    printf('\nHARDEN:setup %s\n', one_line(err.message));
    printf('\nHARDEN:done\n');
    return;
  end
  out = cell(1, nout);
  try
    if nout == 0
      feval(module, args{:});
    else
      [out{:}] = feval(module, args{:});
    end
    printf('\nHARDEN:returned\n');
    for i = 1:nout
      o = out{i};
      placeholder = isa(o, 'single') && isequal(size(o), [1 1]) && o == 0;
      printf('\nHARDEN:out %d %s %s real=%d placeholder=%d\n', i, class(o), ...
             strjoin(arrayfun(@num2str, size(o), 'UniformOutput', false), 'x'), ...
             isreal(o), placeholder);
    end
  catch err
    printf('\nHARDEN:error %s|%s\n', err.identifier, one_line(err.message));
  end
  changed = find(~cellfun(@isequaln, args, keep));
  printf('\nHARDEN:changed %s\n', sprintf('%d ', changed));
  printf('\nHARDEN:done\n');
end

function args = build_inputs(expr)
  % Inputs the case expressions start from (intensities are bin numbers 0..15).
  T = mod((0:7)' * 3 + (0:7) * 5, 16);    % 8 x 8 template
  I = mod((0:15)' * 7 + (0:15) * 3, 16);  % 16 x 16 image
  W = [4; 4];                             % one translation
  P = [2 1 1 1 1];                        % translation, SSD, linear, bilinear, rate 1
  W6 = [0; 0; 0; 0; 4; 4];                % one affine warp
  p = [0 0 0 0 7 7];                      % affine step parameters: template centred in I
  K = [0.25; 0.5; 0.25];                  % kernel 3 wide (first dimension), 1 high
  S = [4 4];                              % region size
  args = eval(expr);
end

function y = put(x, idx, v)
  % x with the elements at idx set to v.
  y = x;
  y(idx) = v;
end

function s = one_line(s)
  s = strtrim(strrep(strrep(s, "\r", ' '), "\n", ' '));
end
