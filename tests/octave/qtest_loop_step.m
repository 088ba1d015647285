function out = qtest_loop_step(u, t11, t12, t13, t22, t23, t33, ...
                               k1, k2, k3, k11, k22, k33, k12, k13, k23, dt)
%QTEST_LOOP_STEP Slow loop model of one QUILLMERE step, for tests.
%   Same arguments and result as QUILLMERE. Written voxel by voxel and tap
%   by tap in single precision, in the order the module promises: taps in
%   weight order, the tap term of each tensor row grouped as
%   ((t1*w1 + t2*w2) + t3*w3), the first-order term ((q1*g1 + q2*g2) +
%   q3*g3), the second-order term added left to right starting from
%   s11*t11, and new = (second + first)*dt + old. Taps read the output as it
%   is being overwritten (the in-place sweep). Use on tiny volumes only.
out = single(u);
n = [size(out, 1), size(out, 2), size(out, 3)];
two = single(2);
dt = single(dt(1));
for i3 = 1:n(3)
  for i2 = 1:n(2)
    for i1 = 1:n(1)
      g = zeros(1, 3, 'single');
      q = zeros(1, 3, 'single');
      for c = 0:2
        for b = 0:2
          for a = 0:2
            m = 1 + a + 3 * b + 9 * c;
            j1 = min(max(i1 + a - 1, 1), n(1));
            j2 = min(max(i2 + b - 1, 1), n(2));
            j3 = min(max(i3 + c - 1, 1), n(3));
            U = out(j1, j2, j3);
            w1 = single(k1(m)); w2 = single(k2(m)); w3 = single(k3(m));
            a11 = t11(j1, j2, j3); a12 = t12(j1, j2, j3); a13 = t13(j1, j2, j3);
            a22 = t22(j1, j2, j3); a23 = t23(j1, j2, j3); a33 = t33(j1, j2, j3);
            g(1) = g(1) + U * w1;
            g(2) = g(2) + U * w2;
            g(3) = g(3) + U * w3;
            q(1) = q(1) + ((a11 * w1 + a12 * w2) + a13 * w3);
            q(2) = q(2) + ((a12 * w1 + a22 * w2) + a23 * w3);
            q(3) = q(3) + ((a13 * w1 + a23 * w2) + a33 * w3);
          end
        end
      end
      s = zeros(1, 6, 'single');
      for c = 0:4
        for b = 0:4
          for a = 0:4
            m = 1 + a + 5 * b + 25 * c;
            U = out(min(max(i1 + a - 2, 1), n(1)), min(max(i2 + b - 2, 1), n(2)), ...
                    min(max(i3 + c - 2, 1), n(3)));
            s(1) = s(1) + U * single(k11(m));
            s(2) = s(2) + U * single(k22(m));
            s(3) = s(3) + U * single(k33(m));
            s(4) = s(4) + U * single(k12(m));
            s(5) = s(5) + U * single(k13(m));
            s(6) = s(6) + U * single(k23(m));
          end
        end
      end
      first = (q(1) * g(1) + q(2) * g(2)) + q(3) * g(3);
      second = s(1) * t11(i1, i2, i3);
      second = second + s(2) * t22(i1, i2, i3);
      second = second + s(3) * t33(i1, i2, i3);
      second = second + (two * t12(i1, i2, i3)) * s(4);
      second = second + (two * t13(i1, i2, i3)) * s(5);
      second = second + (two * t23(i1, i2, i3)) * s(6);
      total = second + first;
      out(i1, i2, i3) = total * dt + out(i1, i2, i3);
    end
  end
end
end
