"""A first look at corvantile."""

import corvantile._core as core

print(core.__name__, "-", core.__doc__)
