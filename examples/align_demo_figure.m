function align_demo_figure(file, S)
% Writes the figure of align_demo as a PNG image, composed pixel by pixel (no display or
% plotting toolkit needed). S holds the scene (I, T, Tm, levels), the warps (pTrue, p0, pSSD,
% pMI) and the costs over translation offsets (offsets, and basins: {name, values} pairs).
%
%   row 1  the reference with the template's outline: true warp green, estimate red
%   row 2  checkerboards of the template and the reference warped by the estimate; the
%          template and its remapped copy
%   row 3  each cost over translation offsets about the true warp, dark where low:
%          + marks the true translation, x the lowest cost
  gap = 10; cap = 18; head = 22;
  gray = @(A) repmat(min(max(A / S.levels, 0), 1), [1 1 3]);
  stages = {S.p0, 'start'; S.pSSD, 'after SSD'; S.pMI, 'after MI'};
  m = size(S.T, 1);

  row1 = {};
  for k = 1:3
    P = outline(upscale(gray(S.I), 2), 2, S.pTrue, m, [0.1 0.85 0.1], 3);
    row1(end + 1, :) = {outline(P, 2, stages{k, 1}, m, [0.95 0.1 0.1], 1), stages{k, 2}};
  end
  row1(end + 1, :) = {upscale(gray(S.T), 4), 'template T'};

  row2 = {};
  [X, Y] = ndgrid((0:m - 1) - (m - 1) / 2);
  [i, j] = ndgrid(0:m - 1);
  squares = mod(floor(i / 8) + floor(j / 8), 2) == 1;
  for k = 1:3
    p = stages{k, 1};
    Iw = interp2(S.I, p(2) * X + (1 + p(4)) * Y + p(6) + 1, (1 + p(1)) * X + p(3) * Y + p(5) + 1);
    C = S.T;
    C(squares) = Iw(squares);
    row2(end + 1, :) = {upscale(gray(C), 4), stages{k, 2}};
  end
  row2(end + 1, :) = {upscale(gray(S.Tm), 4), 'remapped Tm'};

  row3 = {};
  if exist('viridis', 'file')
    map = viridis(256);  % Octave only: Octave's perceptual map
  else
    map = parula(256);   % MATLAB's map of the same kind
  end
  d = S.offsets;
  centre = find(d == 0);
  for k = 1:size(S.basins, 1)
    V = S.basins{k, 2};
    V = (V - min(V(:))) / max(max(V(:)) - min(V(:)), eps);
    P = reshape(map(1 + round(255 * V), :), [size(V) 3]);
    P = upscale(P, 6);
    [~, at] = min(S.basins{k, 2}(:));
    [ri, ci] = ind2sub(size(V), at);
    P = marker(P, 6 * centre - 3, 6 * centre - 3, [1 1 1], '+');
    P = marker(P, 6 * ri - 3, 6 * ci - 3, [1 0.2 0.2], 'x');
    row3(end + 1, :) = {P, S.basins{k, 1}};
  end

  titles = {'Template outline on the reference: green true, red estimate';
            'Checkerboard: template / reference warped by the estimate';
            sprintf('Cost over translations %g..%g px: dark low, + true, x lowest', d(1), d(end))};
  panels = {row1, row2, row3};
  side = max(cellfun(@(r) max(cellfun(@(P) size(P, 1), r(:, 1))), panels));
  width = 4 * side + 5 * gap;
  F = ones(3 * (head + cap + side) + 4 * gap, width, 3);
  top = gap;
  for r = 1:3
    F = text_at(F, titles{r}, top, gap, 2, [0 0 0]);
    for k = 1:size(panels{r}, 1)
      [P, name] = panels{r}{k, :};
      left = gap + (k - 1) * (side + gap);
      F = text_at(F, name, top + head, left, 2, [0.2 0.2 0.2]);
      F(top + head + cap + (1:size(P, 1)), left + (1:size(P, 2)), :) = P;
    end
    top = top + head + cap + side + gap;
  end
  dir = fileparts(file);
  if ~isempty(dir) && ~isfolder(dir)
    mkdir(dir);
  end
  imwrite(uint8(round(255 * F)), file);
end

function B = upscale(A, s)
  B = A(kron(1:size(A, 1), ones(1, s)), kron(1:size(A, 2), ones(1, s)), :);
end

% The template's border, warped by p, drawn into P (an image of I upscaled by s).
function P = outline(P, s, p, m, colour, thick)
  h = (m - 1) / 2;
  t = linspace(-h, h, 8 * m);
  e = h * ones(size(t));
  X = [t, e, fliplr(t), -e];
  Y = [-e, t, e, fliplr(t)];
  x = (1 + p(1)) * X + p(3) * Y + p(5);
  y = p(2) * X + (1 + p(4)) * Y + p(6);
  P = dots(P, s * (x + 0.5), s * (y + 0.5), colour, thick);
end

% A + or x of the given colour, edged in black so that it shows on any colour.
function P = marker(P, r, c, colour, shape)
  t = -5:0.25:5;
  if shape == '+'
    rr = [r + t, r + 0 * t]; cc = [c + 0 * t, c + t];
  else
    rr = [r + t, r + t]; cc = [c + t, c - t];
  end
  P = dots(P, rr, cc, [0 0 0], 3);
  P = dots(P, rr, cc, colour, 1);
end

% Sets the pixels within thick / 2 of the points (r, c), 1-based, to colour.
function P = dots(P, r, c, colour, thick)
  o = (0:thick - 1) - floor((thick - 1) / 2);
  [dr, dc] = ndgrid(o);
  R = round(r(:) + dr(:)'); C = round(c(:) + dc(:)');
  ok = R >= 1 & R <= size(P, 1) & C >= 1 & C <= size(P, 2);
  idx = sub2ind([size(P, 1) size(P, 2)], R(ok), C(ok));
  n = size(P, 1) * size(P, 2);
  for k = 1:3
    P(idx + (k - 1) * n) = colour(k);
  end
end

% Writes str into F with its top-left corner at (top, left), in a 5 x 7 font scaled by s.
function F = text_at(F, str, top, left, s, colour)
  persistent glyphs
  if isempty(glyphs)
    glyphs = font();
  end
  for ch = str
    g = glyphs{double(ch)};
    if ~isempty(g)
      [r, c] = find(upscale(g, s));
      F = dots(F, top + r, left + c, colour, 1);
    end
    left = left + 6 * s;
  end
end

% 5 x 7 glyphs: each entry is the character and its seven rows as two hex digits each.
function glyphs = font()
  table = {
    'A0E1111111F1111' 'B1E11111E11111E' 'C0E11101010110E' 'D1C12111111121C' 'E1F10101E10101F' ...
    'F1F10101E101010' 'G0E11101711110F' 'H1111111F111111' 'I0E04040404040E' 'J0702020202120C' ...
    'K11121418141211' 'L1010101010101F' 'M111B1515111111' 'N11111915131111' 'O0E11111111110E' ...
    'P1E11111E101010' 'Q0E11111115120D' 'R1E11111E141211' 'S0F10100E01011E' 'T1F040404040404' ...
    'U1111111111110E' 'V11111111110A04' 'W1111111515150A' 'X11110A040A1111' 'Y1111110A040404' ...
    'Z1F01020408101F' 'a00000E010F110F' 'b1010161911111E' 'c00000E1010110E' 'd01010D1311110F' ...
    'e00000E111F100E' 'f0609081C080808' 'g000F11110F010E' 'h10101619111111' 'i04000C0404040E' ...
    'j0200060202120C' 'k10101214181412' 'l0C04040404040E' 'm00001A15151111' 'n00001619111111' ...
    'o00000E1111110E' 'p00001E111E1010' 'q00000D130F0101' 'r00001619101010' 's00000E100E011E' ...
    't08081C08080906' 'u0000111111130D' 'v00001111110A04' 'w0000111115150A' 'x0000110A040A11' ...
    'y000011110F010E' 'z00001F0204081F' '00E11131519110E' '1040C040404040E' '20E11010204081F' ...
    '31F02040201110E' '402060A121F0202' '51F101E0101110E' '60608101E11110E' '71F010204080808' ...
    '80E11110E11110E' '90E11110F01020C' '.00000000000C0C' ',000000000C0408' ':000C0C000C0C00' ...
    '-0000001F000000' '+0004041F040400' '/00010204081000' '(02040808080402' ')08040202020408' ...
    '=00001F001F0000'};
  glyphs = cell(1, 128);
  for e = table(:)'
    rowsOf = hex2dec(reshape(e{1}(2:end), 2, 7)');
    glyphs{double(e{1}(1))} = double(dec2bin(rowsOf, 5) == '1');
  end
end
