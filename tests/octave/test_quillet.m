% quillet: affine regions cut out of an image, against interp2 with clamped coordinates.
rand('seed', 13);
I = 30 * rand(25, 30);
ref = @(S, p) affine_ref('warp', I, fix(S(1)), fix(S(2)), fix((S(1) - 1) * -0.5), fix((S(2) - 1) * -0.5), p);
close_to = @(a, b) assert(a, b, 1e-12 * max(1, max(abs(b(:)))));

% Centred grids, clamping at the border, shifts, fractional sizes, general affine maps.
cases = {[3 3], zeros(1, 6);
         [4 4], zeros(1, 6);
         [3 3], [0 0 0 0 10 20];
         [2.9 3], zeros(1, 6);
         [4 5], [0 0 0 0 24 29];                        % around the last pixel
         [7 6], [0.1 -0.2 0.15 0.05 12.4 14.7];
         [9 8], [0.3 0.4 -0.5 0.2 3.3 27.9];            % largely outside I
         [5.5 1], [0 0 0 0 -3 -4];
         [1 1], [0 0 0 0 7.25 8.5]};
for c = 1:rows(cases)
  [S, p] = cases{c, :};
  R = quillet(S, I, p);
  assert(size(R), [fix(S(1)) fix(S(2))]);
  close_to(R, ref(S, p));
end

% Fixed points of the centred grid.
R = quillet([3 3], I, zeros(1, 6));
assert(R(1, 1), I(1, 1)); assert(R(3, 3), I(2, 2)); assert(R(2, 2), I(1, 1));
R = quillet([4 4], I, zeros(1, 6));          % grid -1..2
assert(R(4, 4), I(3, 3)); assert(R(1, 1), I(1, 1)); assert(R(2, 3), I(1, 2));
R = quillet([3 3], I, [0 0 0 0 10 20]);
assert(R(2, 2), I(11, 21));
R = quillet([2.9 3], I, [0 0 0 0 5 5]);      % W = 2, x from 0
assert(size(R), [2 3]);
assert(R(1, 2), I(6, 6)); assert(R(2, 2), I(7, 6));

% Shapes of S and p; extra values are ignored.
p = [0.1 -0.2 0.15 0.05 12.4 14.7];
assert(isequal(quillet([7; 6], I, p'), quillet([7 6 99], I, [p 1 2])));

% An empty region.
R = quillet([0 5], I, p);
assert(isempty(R) && isa(R, 'double'));
assert(size(R), [0 0 0 0]);          % the empty image's four sizes

% nlhs = 0 still returns the region.
quillet([3 4], I, p);
assert(ans, quillet([3 4], I, p));

% Converted image; a double image is left as it was.
step_converted(@quillet, 1, [5 4], uint16(1000 * rand(10, 12)), p);
step_repeat(@quillet, 1, [6 6], I, p);

% NaN in the map gives NaN samples.
R = quillet([2 2], I, [0 0 0 0 NaN 3]);
assert(all(isnan(R(:))));

% Argument errors.
step_errors('quillet', {
  @() quillet([3 3], I), 1, '3 inputs required.';
  @() quillet([3 3], I, p, 1), 0, '3 inputs required.';
  @() quillet([3 3], I, p), 2, '1 output required';
  @() quillet(3, I, p), 1, 'S must hold at least 2 values.';
  @() quillet([], I, p), 1, 'S must hold at least 2 values.';
  @() quillet([-1 3], I, p), 1, 'S must hold finite, non-negative sizes.';
  @() quillet([3 -0.5], I, p), 1, 'S must hold finite, non-negative sizes.';
  @() quillet([NaN 3], I, p), 1, 'S must hold finite, non-negative sizes.';
  @() quillet([3 Inf], I, p), 1, 'S must hold finite, non-negative sizes.';
  @() quillet([3 2^31], I, p), 1, 'S must hold sizes below 2^31.';
  @() quillet([3 3], [], p), 1, 'I must be a non-empty numeric or logical array.';
  @() quillet([3 3], I, [1 2 3 4 5]), 1, 'p must hold at least 6 values.'});

% A region too large to allocate ends the call with an error, not the host: beyond the image
% library's largest buffer, or beyond the memory there is.
step_host_error('quillet', @() quillet([2^30 2^30], I, p), 'outOfMemory');
step_host_error('quillet', @() quillet([1e5 1e5], I, p), 'outOfMemory');
