function step_converted(f, nout, varargin)
% f with converted inputs (integer, logical, single arrays) gives, with nout outputs, the
% outputs of the inputs' double values.
  conv = cell(1, nout); dbl = cell(1, nout);
  [conv{:}] = f(varargin{:});
  args = cellfun(@double, varargin, 'UniformOutput', false);
  [dbl{:}] = f(args{:});
  assert(isequal(conv, dbl));
end
