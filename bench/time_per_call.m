function time_per_call(name, f)
% Prints the mean time of f() over at least a second and five calls, after one warm-up call.
  f();
  n = 0; t0 = tic;
  while toc(t0) < 1 || n < 5
    f(); n++;
  end
  printf('%-22s %10.3f ms/call (%d calls)\n', name, 1e3 * toc(t0) / n, n);
end
