function [I, runs, ids] = ssd_step_checks(f, side)
% The checks both squared-difference step modules pass: f takes its derivatives on `side`
% ('template' or 'image', as affine_ref). Draws the image I and each template from rand.
% Returns I, the warp cases runs(c) (fields T, p, E, G, H, K) and the identity cases ids(c)
% (fields T, p, H), for the checks of each module's own.
  close_to = @(a, b) assert(a, b, -1e-10 * max(1, max(abs(b(:)))) - 1e-12);

  % Non-trivial affine warp, odd and even template sizes; samples near and beyond I's border.
  I = 50 * rand(20, 24);
  cases = {9, 7, [0.05 -0.03 0.04 0.02 10.3 11.7];
           8, 6, [-0.08 0.06 0.03 -0.05 9.6 12.2];
           8, 6, [0.02 0.1 -0.04 0.03 2.5 20.4]};      % partly outside I: clamped
  runs = struct('T', {}, 'p', {}, 'E', {}, 'G', {}, 'H', {}, 'K', {});
  for c = 1:rows(cases)
    [w, h, p] = cases{c, :};
    T = 50 * rand(w, h);
    [E, G, H, K] = f(T, I, p);
    ref = affine_ref('ssd', T, I, p, side);
    assert(size(E), [1 1]); assert(size(G), [1 6]); assert(size(H), [6 6]); assert(size(K), [6 6]);
    close_to(E, ref.E); close_to(G, ref.G); close_to(H, ref.H); close_to(K, ref.K);
    assert(isequal(H, H'));
    runs(c) = struct('T', T, 'p', p, 'E', E, 'G', G, 'H', H, 'K', K);
  end

  % Identity: I = T and p centring the warp grid on I's pixels.
  ids = struct('T', {}, 'p', {}, 'H', {});
  for sz = [7 5; 8 6]'
    w = sz(1); h = sz(2);
    T = 20 * rand(w, h);
    p = [0 0 0 0 fix((w - 1) / 2) fix((h - 1) / 2)];
    [E, G, H, K] = f(T, T, p);
    assert(E, 0); assert(G, zeros(1, 6)); assert(K, zeros(6));
    ref = affine_ref('ssd', T, T, p, side);
    close_to(H, ref.H);
    ids(end + 1) = struct('T', T, 'p', p, 'H', H);
  end
end
