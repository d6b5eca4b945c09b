function record_calls(moddir, outfile)
% Runs every call of call_table against the modules in moddir and saves what came out of each:
% for every output its class, size and an MD5 of its bytes; the printed text; the error
% identifier and message. Fails unless every module called is the one in moddir.
  addpath(moddir);
  cases = call_table();
  names = {cases.name};
  for fn = unique({cases.fn})
    at = which(fn{1});
    assert(strncmp(at, [moddir filesep], numel(moddir) + 1), '%s is %s, not in %s', fn{1}, at, moddir);
  end
  R = cell(numel(cases), 1);
  for c = 1:numel(cases)
    k = cases(c);
    out = cell(1, k.nout);
    txt = ''; id = ''; msg = '';
    try
      if k.nout == 0
        txt = evalc('feval(k.fn, k.args{:});');
      else
        txt = evalc('[out{1:k.nout}] = feval(k.fn, k.args{:});');
      end
    catch e
      id = e.identifier; msg = e.message;
    end
    d = cell(1, numel(out));
    for m = 1:numel(out)
      x = out{m};
      if islogical(x)
        b = uint8(x(:));
      elseif isnumeric(x) && isreal(x)
        b = typecast(x(:), 'uint8');
      elseif isnumeric(x)
        b = [typecast(real(x(:)), 'uint8'); typecast(imag(x(:)), 'uint8')];
      else
        b = uint8([]);
      end
      d{m} = sprintf('%s %s %d %s', class(x), mat2str(size(x)), ~isreal(x), ...
                     hash('md5', char(reshape(b, 1, []))));
    end
    R{c} = struct('out', {d}, 'txt', txt, 'id', id, 'msg', msg);
  end
  save('-binary', outfile, 'R', 'names');
  printf('%d calls recorded from %s\n', numel(cases), moddir);
end
