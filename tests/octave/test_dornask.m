% dornask: mutual information of a template and an affinely warped image, with derivatives
% taken on the template side.
mi_step_checks('dornask', 'T', [3 4]);
