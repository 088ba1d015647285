function v = qtest_apply_stencil(k, f, x0, h)
%QTEST_APPLY_STENCIL A stencil applied as the module applies it, in double.
%   V = QTEST_APPLY_STENCIL(K, F, X0, H): the correlation of the 3x3x3 or
%   5x5x5 stencil K with F(x, y, z) sampled on the grid of spacing H around
%   the point X0, i.e. sum over taps of K(a,b,c) * F(X0 + offset .* H).
r = (size(k, 1) - 1) / 2;
[oa, ob, oc] = ndgrid(-r:r, -r:r, -r:r);
v = sum(double(k(:)) .* f(x0(1) + oa(:) * h(1), x0(2) + ob(:) * h(2), x0(3) + oc(:) * h(3)));
end
