function t = time_per_call(f)
% Seconds per call of f(): the best of five rounds of at least 0.2 s (and three calls) each,
% after one warm-up call.
  f();
  t = Inf;
  for round = 1:5
    n = 0; t0 = tic;
    while toc(t0) < 0.2 || n < 3
      f(); n++;
    end
    t = min(t, toc(t0) / n);
  end
end
