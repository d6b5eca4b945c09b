function [txt, outs] = tremlo_call(nout, varargin)
% Calls tremlo with nout outputs; returns what it printed and the outputs.
  outs = cell(1, nout);
  args = varargin;
  if nout == 0
    txt = evalc('tremlo(args{:});');
  else
    txt = evalc('[outs{:}] = tremlo(args{:});');
  end
end
