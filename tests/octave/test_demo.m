% The demo recovers both warps and writes its figure: a PNG image of three rows of panels.
here = fileparts(mfilename('fullpath'));
addpath(fullfile(here, '..', '..', 'examples'));
file = [tempname() '.png'];
cleanup = onCleanup(@() delete(file));
out = evalc('align_demo(file)');
assert(!isempty(strfind(out, 'Both warps recovered.')), 'demo output:\n%s', out);

fid = fopen(file, 'r');
assert(fid >= 0, 'no figure written');
magic = fread(fid, 8, 'uint8=>double')';
fclose(fid);
assert(magic, [137 80 78 71 13 10 26 10]);
info = imfinfo(file);
assert(info.Width > 600 && info.Height > 500, 'figure of %d x %d', info.Width, info.Height);
F = imread(file);
assert(size(F, 3), 3);
% Not blank: gray panels, the green and red outlines and the colour maps are all there.
px = reshape(double(F), [], 3);
assert(any(px(:, 2) > 150 & px(:, 1) < 100 & px(:, 3) < 100), 'no green outline');
assert(any(px(:, 1) > 200 & px(:, 2) < 60 & px(:, 3) < 60), 'no red outline');
assert(numel(unique(px(:, 1))) > 100, 'too few shades');
