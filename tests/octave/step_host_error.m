function step_host_error(name, f)
% f() ends with a host error of module `name` (the image library's, an allocation's), not
% with the host's end.
  try
    f();
    threw = false;
  catch err
    threw = true;
    assert(strncmp(err.identifier, [name ':'], numel(name) + 1), err.identifier);
  end
  assert(threw, 'no error raised');
end
