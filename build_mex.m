function out = build_mex(outDir, cimgDir)
% build_mex  Build the six modules with mex, from MATLAB or Octave, with their help texts.
%
%   build_mex
%   build_mex(outDir)
%   build_mex(outDir, cimgDir)
%   outDir = build_mex(...)
%
%   Compiles tremlo, dornask, dornesk, pelvask, pelvesk and quillet with the mex command into
%   outDir (default: the folder mex beside this file) and copies their help texts there, so
%   that after addpath(outDir) the modules can be called and help tremlo reads their help.
%   cimgDir is a folder holding CImg.h, for a compiler that does not find it by itself.
%   Which sources make which module is read from modules.txt. Every source is compiled once,
%   in a temporary folder that is removed afterwards: nothing is written beside the sources.
%
%   What is passed to mex: -R2018a (the interleaved complex API), -I with the folder of this
%   file and cimgDir, -c to compile and -output to link, and for C++17 with -O2 and NDEBUG:
%     MATLAB with g++, clang or MinGW   CXXFLAGS="$CXXFLAGS -std=c++17"
%                                       CXXOPTIMFLAGS="-O2 -DNDEBUG"
%     MATLAB with Microsoft Visual C++  COMPFLAGS="$COMPFLAGS /std:c++17 /Zc:__cplusplus"
%     Octave                            the same through the environment variables
%                                       CXXFLAGS and XTRA_CXXFLAGS (restored afterwards),
%                                       leaving out the -fopenmp that Octave's mex adds:
%                                       no module may start a thread.
%
%   Requirements: MATLAB R2018a or newer with a C++17 compiler set up (mex -setup C++), or
%   Octave with its development files (Debian/Ubuntu: liboctave-dev); CImg 3.0.0 or newer.
%
%   Errors: build_mex:noCompiler, build_mex:noCImg, build_mex:oldCImg,
%   build_mex:sourceList, build_mex:compile, build_mex:load.
%
%   See also mex, addpath.
  started = tic;
  root = fileparts(mfilename('fullpath'));
  if nargin < 1 || isempty(outDir)
    outDir = fullfile(root, 'mex');
  end
  if nargin < 2
    cimgDir = '';
  end
  outDir = absolutePath(outDir);
  cimgDir = absolutePath(cimgDir);
  inOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;

  modules = readModuleList(fullfile(root, 'modules.txt'), root);
  [flags, restoreEnv] = compilerSettings(inOctave); %#ok<ASGLU> restores Octave's settings
  api = '-R2018a';
  incs = {['-I' root]};
  if ~isempty(cimgDir)
    incs{end + 1} = ['-I' cimgDir];
  end

  here = pwd();
  work = tempname();
  mkdir(work);
  cleanup = onCleanup(@() leave(here, work)); %#ok<NASGU> back to here, work removed
  checkCImg(cimgDir, root, work, [{api}, flags, incs]);

  % Compile each source once, in a folder of its own per source folder.
  sources = unique([modules.sources]);
  sources = sources(:)';
  folders = unique(cellfun(@fileparts, sources, 'UniformOutput', false));
  objects = cell(size(sources));
  for k = 1:numel(sources)
    [folder, base] = fileparts(sources{k});
    objDir = fullfile(work, sprintf('obj%d', find(strcmp(folders, folder))));
    if exist(objDir, 'dir') ~= 7
      mkdir(objDir);
    end
    fprintf('build_mex: compiling %s\n', sources{k});
    cd(objDir);
    runMex([{api}, flags, incs, {'-c', fullfile(root, sources{k})}], ...
           sprintf('compiling %s', sources{k}));
    cd(here);
    found = dir(fullfile(objDir, [base '.o*']));
    if isempty(found)
      error('build_mex:compile', 'build_mex: compiling %s wrote no object file.', sources{k});
    end
    objects{k} = fullfile(objDir, found(1).name);
  end

  % Link each module from the objects of its sources, and place its help beside it.
  if exist(outDir, 'dir') ~= 7
    mkdir(outDir);
  end
  for m = 1:numel(modules)
    name = modules(m).name;
    fprintf('build_mex: linking %s\n', name);
    clear(name);
    objs = objects(ismember(sources, modules(m).sources));
    runMex([{api}, flags, {'-output', fullfile(outDir, name)}, objs(:)'], ...
           sprintf('linking %s', name));
    helpFile = fullfile(root, 'help', [name '.m']);
    if exist(helpFile, 'file') == 2
      copyfile(helpFile, outDir);
    end
  end
  checkLoads(outDir, {modules.name}, inOctave);
  cd(here);

  fprintf('build_mex: %d modules built into %s in %.0f s; to use them: addpath(''%s'')\n', ...
          numel(modules), outDir, toc(started), outDir);
  if nargout > 0
    out = outDir;
  end
end

% The modules of the list file: name and sources (paths from root, '/' separated) of each.
function modules = readModuleList(file, root)
  if exist(file, 'file') ~= 2
    error('build_mex:sourceList', 'build_mex: the source list %s is missing.', file);
  end
  lines = regexp(fileread(file), '\r?\n', 'split');
  modules = struct('name', {}, 'sources', {});
  for k = 1:numel(lines)
    line = strtrim(lines{k});
    if isempty(line) || line(1) == '#'
      continue;
    end
    tok = regexp(line, '^([A-Za-z]\w*):(.*)$', 'tokens', 'once');
    if isempty(tok)
      error('build_mex:sourceList', 'build_mex: %s, line %d: not a module line: %s', ...
            file, k, line);
    end
    entries = regexp(strtrim(tok{2}), '\s+', 'split');
    srcs = {};
    for e = entries
      folder = fileparts(e{1});
      found = dir(fullfile(root, e{1}));
      found = found(~[found.isdir]);
      if isempty(found)
        error('build_mex:sourceList', 'build_mex: %s: module %s: ''%s'' names no file.', ...
              file, tok{1}, e{1});
      end
      for f = 1:numel(found)
        srcs{end + 1} = [folder '/' found(f).name]; %#ok<AGROW>
      end
    end
    modules(end + 1) = struct('name', tok{1}, 'sources', {reshape(unique(srcs), 1, [])}); %#ok<AGROW>
  end
  if isempty(modules)
    error('build_mex:sourceList', 'build_mex: %s names no module.', file);
  end
end

% The mex arguments that select C++17 and -O2, after checking that a compiler is there. In
% Octave they go through the environment; the returned object restores it when cleared.
function [flags, restore] = compilerSettings(inOctave)
  restore = [];
  if ~inOctave
    cc = mex.getCompilerConfigurations('C++', 'Selected');
    if isempty(cc)
      error('build_mex:noCompiler', ['build_mex: no C++ compiler is set up for mex. ' ...
            'Install one that MathWorks supports for this release of MATLAB (Linux: g++; ' ...
            'macOS: Xcode; Windows: MinGW-w64 or Microsoft Visual C++), then run ' ...
            '"mex -setup C++".']);
    end
    if ~isempty(strfind(lower(cc(1).Manufacturer), 'microsoft'))
      flags = {'COMPFLAGS="$COMPFLAGS /std:c++17 /Zc:__cplusplus"'};
    else
      flags = {'CXXFLAGS="$CXXFLAGS -std=c++17"', 'CXXOPTIMFLAGS="-O2 -DNDEBUG"'};
    end
    return;
  end
  flags = {};
  try
    cxx = strtrim(mkoctfile('-p', 'CXX'));  % Octave only
    cxxflags = strtrim(mkoctfile('-p', 'CXXFLAGS'));  % Octave only
    xtra = strtrim(mkoctfile('-p', 'XTRA_CXXFLAGS'));  % Octave only
  catch err
    error('build_mex:noCompiler', ['build_mex: Octave cannot build modules (%s). Install ' ...
          'its development files (Debian/Ubuntu: sudo apt-get install liboctave-dev).'], ...
          err.message);
  end
  words = regexp(cxx, '\s+', 'split');
  [status, text] = system([words{1} ' --version 2>&1']); %#ok<ASGLU>
  if isempty(cxx) || status ~= 0
    error('build_mex:noCompiler', ['build_mex: the C++ compiler of Octave''s mex, "%s", ' ...
          'was not found. Install it (Debian/Ubuntu: sudo apt-get install g++) or set the ' ...
          'environment variable CXX to one.'], cxx);
  end
  noOpenMP = @(s) strtrim(regexprep(s, '(^|\s)-fopenmp(?=\s|$)', ''));
  old = {getenv('CXXFLAGS'), getenv('XTRA_CXXFLAGS')};
  restore = onCleanup(@() setEnv(old));
  xtra = noOpenMP(xtra);
  if isempty(xtra)
    xtra = ' ';  % an empty value would bring back the default, -fopenmp included
  end
  setEnv({[noOpenMP(cxxflags) ' -std=c++17 -O2 -DNDEBUG'], xtra});
end

function setEnv(values)
  setenv('CXXFLAGS', values{1});
  setenv('XTRA_CXXFLAGS', values{2});
end

% Stops with a clear message when CImg.h cannot be found or is older than the code needs.
function checkCImg(cimgDir, root, work, args)
  need = regexp(fileread(fullfile(root, 'bridge', 'cimg.h')), ...
                '#define\s+IMGALIGN_CIMG_MIN_VERSION\s+(\d+)', 'tokens', 'once');
  need = str2double(need{1});
  install = ['Install CImg %s or newer (Debian/Ubuntu: sudo apt-get install cimg-dev; macOS: ' ...
             'brew install cimg; or CImg.h from the CImg site) and give its folder: ' ...
             'build_mex(outDir, cimgDir).'];
  header = '';
  if ~isempty(cimgDir)
    header = fullfile(cimgDir, 'CImg.h');
    if exist(header, 'file') ~= 2
      error('build_mex:noCImg', ['build_mex: there is no CImg.h in %s. ' install], ...
            cimgDir, versionText(need));
    end
  else
    dirs = [splitPath(getenv('CPLUS_INCLUDE_PATH')), splitPath(getenv('CPATH')), ...
            splitPath(getenv('INCLUDE')), ...
            {'/usr/local/include', '/usr/include', '/opt/homebrew/include', '/opt/local/include'}];
    for k = 1:numel(dirs)
      if exist(fullfile(dirs{k}, 'CImg.h'), 'file') == 2
        header = fullfile(dirs{k}, 'CImg.h');
        break;
      end
    end
  end
  if isempty(header)
    % Not in the usual folders: ask the compiler itself.
    probe = fullfile(work, 'cimg_probe.cpp');
    fid = fopen(probe, 'w');
    fprintf(fid, '#if !__has_include(<CImg.h>)\n#error CImg.h not found\n#endif\n');
    fclose(fid);
    here = pwd();
    cd(work);
    try
      mex(args{:}, '-c', probe);
      found = true;
    catch
      found = false;
    end
    cd(here);
    if ~found
      error('build_mex:noCImg', ['build_mex: the compiler finds no CImg.h. ' install], ...
            versionText(need));
    end
    return;
  end
  have = regexp(fileread(header), '#define\s+cimg_version\s+(\d+)', 'tokens', 'once');
  if isempty(have) || str2double(have{1}) < need
    if isempty(have)
      have = {'of unknown version'};
    else
      have = {versionText(str2double(have{1}))};
    end
    error('build_mex:oldCImg', ['build_mex: %s is CImg %s; the modules need CImg %s or ' ...
          'newer. ' install], header, have{1}, versionText(need), versionText(need));
  end
end

function s = versionText(v)
  s = sprintf('%d.%d.%d', floor(v / 100), mod(floor(v / 10), 10), mod(v, 10));
end

function parts = splitPath(s)
  parts = {};
  if ~isempty(s)
    parts = regexp(s, pathsep(), 'split');
    parts = parts(~cellfun(@isempty, parts));
  end
end

function runMex(args, what)
  try
    mex(args{:});
  catch err
    hint = '';
    if ~isempty(strfind(err.message, 'CImg'))
      hint = ' CImg.h is missing or too old: see "help build_mex".';
    end
    error('build_mex:compile', 'build_mex: %s failed (see the compiler''s messages above).%s\n%s', ...
          what, hint, err.message);
  end
end

% Calls each module once without arguments (its error report, caught): a module that the host
% cannot load stops the build with the reason.
function checkLoads(outDir, names, inOctave)
  here = pwd();
  cd(outDir);
  for k = 1:numel(names)
    try
      evalc([names{k} '();']);
    catch err
      cd(here);
      hint = '';
      if ~inOctave && ~isempty(regexp(err.message, 'GLIBCXX|CXXABI', 'once'))
        hint = [' MATLAB loads its own libstdc++, older than the one the compiler linked: ' ...
                'build with the GCC that MathWorks lists for this release, or start MATLAB ' ...
                'with the system library preloaded, e.g. ' ...
                'LD_PRELOAD=/usr/lib/x86_64-linux-gnu/libstdc++.so.6 matlab'];
      end
      error('build_mex:load', 'build_mex: %s was built but cannot be loaded: %s%s', ...
            names{k}, err.message, hint);
    end
  end
  cd(here);
end

function p = absolutePath(p)
  if ~isempty(p) && isempty(regexp(p, '^([A-Za-z]:)?[\\/]', 'once'))
    p = fullfile(pwd(), p);
  end
end

function leave(here, work)
  cd(here);
  removeTree(work);
end

function removeTree(d)
  if exist(d, 'dir') ~= 7
    return;
  end
  items = dir(d);
  for k = 1:numel(items)
    name = items(k).name;
    if strcmp(name, '.') || strcmp(name, '..')
      continue;
    end
    if items(k).isdir
      removeTree(fullfile(d, name));
    else
      delete(fullfile(d, name));
    end
  end
  rmdir(d);
end
