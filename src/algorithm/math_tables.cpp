// Tables of the correctly rounded exp and tanh: powers 2^(j/64) and the
// inputs whose fast evaluation lies too close to a rounding boundary.
#include <iterator>

#include "algorithm/math_core.hpp"

namespace tolvex::math::detail {

alignas(64) const double kExp2Table[64] = {
    0x1.0000000000000p+0, 0x1.02c9a3e778061p+0, 0x1.059b0d3158574p+0, 0x1.0874518759bc8p+0,
    0x1.0b5586cf9890fp+0, 0x1.0e3ec32d3d1a2p+0, 0x1.11301d0125b51p+0, 0x1.1429aaea92de0p+0,
    0x1.172b83c7d517bp+0, 0x1.1a35beb6fcb75p+0, 0x1.1d4873168b9aap+0, 0x1.2063b88628cd6p+0,
    0x1.2387a6e756238p+0, 0x1.26b4565e27cddp+0, 0x1.29e9df51fdee1p+0, 0x1.2d285a6e4030bp+0,
    0x1.306fe0a31b715p+0, 0x1.33c08b26416ffp+0, 0x1.371a7373aa9cbp+0, 0x1.3a7db34e59ff7p+0,
    0x1.3dea64c123422p+0, 0x1.4160a21f72e2ap+0, 0x1.44e086061892dp+0, 0x1.486a2b5c13cd0p+0,
    0x1.4bfdad5362a27p+0, 0x1.4f9b2769d2ca7p+0, 0x1.5342b569d4f82p+0, 0x1.56f4736b527dap+0,
    0x1.5ab07dd485429p+0, 0x1.5e76f15ad2148p+0, 0x1.6247eb03a5585p+0, 0x1.6623882552225p+0,
    0x1.6a09e667f3bcdp+0, 0x1.6dfb23c651a2fp+0, 0x1.71f75e8ec5f74p+0, 0x1.75feb564267c9p+0,
    0x1.7a11473eb0187p+0, 0x1.7e2f336cf4e62p+0, 0x1.82589994cce13p+0, 0x1.868d99b4492edp+0,
    0x1.8ace5422aa0dbp+0, 0x1.8f1ae99157736p+0, 0x1.93737b0cdc5e5p+0, 0x1.97d829fde4e50p+0,
    0x1.9c49182a3f090p+0, 0x1.a0c667b5de565p+0, 0x1.a5503b23e255dp+0, 0x1.a9e6b5579fdbfp+0,
    0x1.ae89f995ad3adp+0, 0x1.b33a2b84f15fbp+0, 0x1.b7f76f2fb5e47p+0, 0x1.bcc1e904bc1d2p+0,
    0x1.c199bdd85529cp+0, 0x1.c67f12e57d14bp+0, 0x1.cb720dcef9069p+0, 0x1.d072d4a07897cp+0,
    0x1.d5818dcfba487p+0, 0x1.da9e603db3285p+0, 0x1.dfc97337b9b5fp+0, 0x1.e502ee78b3ff6p+0,
    0x1.ea4afa2a490dap+0, 0x1.efa1bee615a27p+0, 0x1.f50765b6e4540p+0, 0x1.fa7c1819e90d8p+0,
};

alignas(64) const double kExp2m1Table[64] = {
    0.0, 0x1.64d1f3bc03077p-7, 0x1.66c34c5615d0fp-6, 0x1.0e8a30eb37901p-5,
    0x1.6ab0d9f3121ecp-5, 0x1.c7d865a7a3440p-5, 0x1.1301d0125b50ap-4, 0x1.429aaea92ddfbp-4,
    0x1.72b83c7d517aep-4, 0x1.a35beb6fcb754p-4, 0x1.d4873168b9aa8p-4, 0x1.031dc431466b2p-3,
    0x1.1c3d373ab11c3p-3, 0x1.35a2b2f13e6e9p-3, 0x1.4f4efa8fef709p-3, 0x1.6942d3720185ap-3,
    0x1.837f0518db8a9p-3, 0x1.9e0459320b7fap-3, 0x1.b8d39b9d54e55p-3, 0x1.d3ed9a72cffb7p-3,
    0x1.ef5326091a112p-3, 0x1.0582887dcb8a8p-2, 0x1.13821818624b4p-2, 0x1.21a8ad704f340p-2,
    0x1.2ff6b54d8a89cp-2, 0x1.3e6c9da74b29bp-2, 0x1.4d0ad5a753e07p-2, 0x1.5bd1cdad49f6ap-2,
    0x1.6ac1f752150a5p-2, 0x1.79dbc56b48522p-2, 0x1.891fac0e95613p-2, 0x1.988e209548892p-2,
    0x1.a827999fcef32p-2, 0x1.b7ec8f19468bcp-2, 0x1.c7dd7a3b17dcfp-2, 0x1.d7fad59099f23p-2,
    0x1.e8451cfac061bp-2, 0x1.f8bccdb3d3988p-2, 0x1.04b1332999c25p-1, 0x1.0d1b3368925d9p-1,
    0x1.159ca845541b7p-1, 0x1.1e35d322aee6cp-1, 0x1.26e6f619b8bcap-1, 0x1.2fb053fbc9c9fp-1,
    0x1.389230547e120p-1, 0x1.418ccf6bbcac9p-1, 0x1.4aa07647c4ab9p-1, 0x1.53cd6aaf3fb7fp-1,
    0x1.5d13f32b5a75bp-1, 0x1.66745709e2bf6p-1, 0x1.6feede5f6bc8ep-1, 0x1.7983d209783a4p-1,
    0x1.83337bb0aa538p-1, 0x1.8cfe25cafa297p-1, 0x1.96e41b9df20d2p-1, 0x1.a0e5a940f12f7p-1,
    0x1.ab031b9f7490ep-1, 0x1.b53cc07b6650bp-1, 0x1.bf92e66f736bdp-1, 0x1.ca05dcf167fecp-1,
    0x1.d495f454921b3p-1, 0x1.df437dcc2b44fp-1, 0x1.ea0ecb6dc8a81p-1, 0x1.f4f83033d21b0p-1,
};

namespace {

// Every input whose rounding test fails, with its correctly rounded result
// (listed by tools/check_math --exceptions, checked by tools/check_math).
const RoundingException kExpExceptions[] = {
    {0x377eff81, 0x3f800080},  // 0x1.fdff02p-17 -> 0x1.0001p+0
    {0x39c6be5b, 0x3f800c6d},  // 0x1.8d7cb6p-12 -> 0x1.0018dap+0
    {0x4001b249, 0x40f2cd14},  // 0x1.036492p+1 -> 0x1.e59a28p+2
    {0x40315b33, 0x417fa47d},  // 0x1.62b666p+1 -> 0x1.ff48fap+3
    {0xb3000000, 0x3f800000},  // -0x1p-25 -> 0x1p+0
    {0xbae0e25c, 0x3f7f8fa7},  // -0x1.c1c4b8p-10 -> 0x1.ff1f4ep-1
    {0xbbf0edf1, 0x3f7e1fe9},  // -0x1.e1dbe2p-8 -> 0x1.fc3fd2p-1
    {0xc16912cd, 0x34fd331b},  // -0x1.d2259ap+3 -> 0x1.fa6636p-22
};

// Magnitudes: tanh is odd.
const RoundingException kTanhExceptions[] = {
    {0x3ac37de2, 0x3ac37dd9},  // 0x1.86fbc4p-10 -> 0x1.86fbb2p-10
    {0x3c96ae2e, 0x3c96a9d5},  // 0x1.2d5c5cp-6 -> 0x1.2d53aap-6
    {0x3cd41b91, 0x3cd40f70},  // 0x1.a83722p-6 -> 0x1.a81eep-6
    {0x3d7c3055, 0x3d7bdee1},  // 0x1.f860aap-5 -> 0x1.f7bdc2p-5
    {0x3eee0566, 0x3ede3cbe},  // 0x1.dc0accp-2 -> 0x1.bc797cp-2
    {0x3ff8bc7e, 0x3f75b4df},  // 0x1.f178fcp+0 -> 0x1.eb69bep-1
    {0x4013cd84, 0x3f7affb3},  // 0x1.279b08p+1 -> 0x1.f5ff66p-1
    {0x40a6ef82, 0x3f7ffc25},  // 0x1.4ddf04p+2 -> 0x1.fff84ap-1
    {0x40acb4d0, 0x3f7ffd50},  // 0x1.5969ap+2 -> 0x1.fffaap-1
    {0x40c5e8ca, 0x3f7fff71},  // 0x1.8bd194p+2 -> 0x1.fffee2p-1
};

}  // namespace

std::span<const RoundingException> expExceptions() { return {kExpExceptions, std::size(kExpExceptions)}; }
std::span<const RoundingException> tanhExceptions() { return {kTanhExceptions, std::size(kTanhExceptions)}; }

}  // namespace tolvex::math::detail
