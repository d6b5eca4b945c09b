% dornesk: mutual information of a template and an affinely warped image, with derivatives
% taken on the image side.
fx = mi_step_checks('dornesk', 'I', 3);

% The same mutual information as the template-side step.
assert(abs(fx.mi - dornask(fx.T, fx.I, fx.p)) < 1e-12);
