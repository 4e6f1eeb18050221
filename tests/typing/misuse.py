"""Misuses that `mypy --strict` must report, each on the line that names its error code."""

import _quarnel as q

t = q.Tensor([2, 3])

q.Tensor([2.0])  # error: list-item
q.Tensor([2], 0)  # error: arg-type
q.Tensor([2], q.CPU)  # error: arg-type
q.Tensor.zeros([2], device=q.FLOAT32)  # error: arg-type
t.view("6")  # error: arg-type
t + 1  # error: operator
1 + t  # error: operator
q.Dtype.FLOAT32 < q.Dtype.INT32  # error: operator
t.shape = [1]  # error: misc
if t.allocated:  # error: truthy-function
    pass
name: str = t.numel()  # error: assignment
sizes: list[str] = t.shape  # error: assignment
device: q.Device = t.dtype  # error: assignment
q.execute(t, t)  # error: call-arg
q.execute(tensor=t)  # error: call-arg
t[0]  # error: index
len(t)  # error: arg-type
q.cuda  # error: attr-defined
