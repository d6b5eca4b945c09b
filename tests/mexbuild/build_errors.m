% build_mex stops before compiling anything, with its identifier and a message that says what
% to install or fix, when CImg.h is missing or too old, the compiler is missing or the source
% list is wrong; and it leaves the environment and the current folder as they were.
here = fileparts(mfilename('fullpath'));
root = fileparts(fileparts(here));
work = tempname();
mkdir(work);
cleanup = onCleanup(@() system(sprintf('rm -rf "%s"', work)));
mkdir(fullfile(work, 'none'));
mkdir(fullfile(work, 'old'));
fid = fopen(fullfile(work, 'old', 'CImg.h'), 'w');
fprintf(fid, '#ifndef cimg_version\n#define cimg_version 299\n#endif\n');
fclose(fid);
% A copy of build_mex beside a source list of its own.
mkdir(fullfile(work, 'list'));
copyfile(fullfile(root, 'build_mex.m'), fullfile(work, 'list'));
mkdir(fullfile(work, 'list', 'bridge'));
copyfile(fullfile(root, 'bridge', 'cimg.h'), fullfile(work, 'list', 'bridge'));

cases = {
  % source list, CXX, cimgDir, identifier, part of the message
  '', '', fullfile(work, 'none'), 'build_mex:noCImg', ['there is no CImg.h in ' fullfile(work, 'none')];
  '', '', fullfile(work, 'none'), 'build_mex:noCImg', 'sudo apt-get install cimg-dev';
  '', '', fullfile(work, 'old'), 'build_mex:oldCImg', 'is CImg 2.9.9; the modules need CImg 3.0.0 or newer';
  '', '/nonexistent/c++', '', 'build_mex:noCompiler', 'The C++ compiler of Octave''s mex, "/nonexistent/c++", was not found';
  'tremlo: nothere/*.cpp', '', '', 'build_mex:sourceList', 'module tremlo: ''nothere/*.cpp'' names no file';
  'tremlo gateway/tremlo.cpp', '', '', 'build_mex:sourceList', 'line 1: not a module line';
  '# only a comment', '', '', 'build_mex:sourceList', 'names no module';
};
before = {getenv('CXXFLAGS'), getenv('XTRA_CXXFLAGS'), getenv('CXX'), pwd()};
for k = 1:size(cases, 1)
  [list, cxx, cimgDir, id, text] = cases{k, :};
  out = fullfile(work, sprintf('out%d', k));
  addpath(root);
  if ~isempty(list)
    fid = fopen(fullfile(work, 'list', 'modules.txt'), 'w');
    fprintf(fid, '%s\n', list);
    fclose(fid);
    addpath(fullfile(work, 'list'));
  end
  setenv('CXX', cxx);
  err = [];
  try
    build_mex(out, cimgDir);
  catch err
  end
  setenv('CXX', before{3});
  if ~isempty(list)
    rmpath(fullfile(work, 'list'));
  end
  assert(~isempty(err), 'case %d: no error', k);
  assert(strcmp(err.identifier, id), 'case %d: identifier %s, not %s: %s', k, err.identifier, id, err.message);
  assert(~isempty(strfind(lower(err.message), lower(text))), 'case %d: message "%s" lacks "%s"', k, err.message, text);
  assert(exist(out, 'dir') == 0, 'case %d: %s made', k, out);
  assert(isequal({getenv('CXXFLAGS'), getenv('XTRA_CXXFLAGS'), getenv('CXX'), pwd()}, before), ...
         'case %d: the environment or the current folder changed', k);
end
printf('%d refused builds, each before compiling\n', size(cases, 1));
