function v = mi_of(H)
% Mutual information of a table of counts or probabilities (template along rows).
  P = H / sum(H(:));
  pT = sum(P, 2); pI = sum(P, 1);
  on = P > 0;
  R = P ./ (pT * pI);
  v = sum(P(on) .* log(R(on)));
end
