function step_repeat(f, nout, varargin)
% f(args{:}) called twice with nout outputs gives the same outputs and leaves its inputs as
% they were (compared with copies of their own, not with arrays sharing their data).
  kept = varargin;
  for k = 1:numel(kept)
    if ~isempty(kept{k})
      kept{k}(1) = kept{k}(1);                   % a write: the copy gets its own data
    end
  end
  first = cell(1, nout); again = cell(1, nout);
  [first{:}] = f(varargin{:});
  [again{:}] = f(varargin{:});
  assert(isequal(first, again));
  assert(isequal(varargin, kept));
end
