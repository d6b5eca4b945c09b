function step_host_error(name, f, kind)
% f() ends with a host error of module `name` (the image library's, an allocation's), not
% with the host's end; with `kind`, its identifier is "<name>:<kind>".
  try
    f();
    threw = false;
  catch err
    threw = true;
    assert(strncmp(err.identifier, [name ':'], numel(name) + 1), err.identifier);
    if nargin > 2
      assert(strcmp(err.identifier, [name ':' kind]), err.identifier);
      assert(numel(strfind(err.message, name)) == 1, 'the module named once: %s', err.message);
    end
  end
  assert(threw, 'no error raised');
end
