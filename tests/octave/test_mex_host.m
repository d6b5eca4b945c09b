% The MEX host loads a module from build/mex and passes arrays both ways.
x = reshape(1:12, 3, 4);
[y, k] = hostcheck(x);
assert(isequal(y, 2 * x));
assert(k == 2);
assert(strcmp(class(y), 'double'));
threw = false;
try
  hostcheck(single(1));
catch err
  threw = true;
  assert(strcmp(err.identifier, 'hostcheck:args'));
end
assert(threw);
