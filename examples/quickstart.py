"""The typical request: create two tensors, add them lazily, materialise the result."""

import _quarnel as q

a = q.Tensor([2, 3])
b = q.Tensor.ones([2, 3])
print("a =", a)
print("b =", b)

c = a + b  # records an ADD node; nothing is computed or allocated
print("c = a + b ->", c)
print("c.allocated() before execute:", c.allocated())

q.execute(c)  # allocates c's storage; the values are not computed
print("c.allocated() after execute: ", c.allocated())

v = c.view([3, -1])
print("c.view([3, -1]) ->", v, "strides", v.strides)
print("c.reshape([6]) ->", c.reshape([6]))
