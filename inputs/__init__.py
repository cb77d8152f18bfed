"""Generated inputs that the tests and the benchmarks share: the hostile input
families (hostile_families.py, with the C++ header it writes) and the seeded
corpora of model answers (corpora.py). Neither side owns them, so that the
tests stand without bench/ and the benchmarks without tests/; both put the
root of the checkout on their path and import `inputs`."""
