// Opens the NEON region. Advanced SIMD is part of the AArch64 base
// architecture, so every AArch64 compiler targets it already and there is no
// target to switch on: the pair of headers only marks, like its x86
// siblings, where this implementation's own code starts and ends.
