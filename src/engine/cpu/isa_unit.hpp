// Included by every file compiled for one instruction set (*_<set>.cpp, see
// isa_ladder.hpp). CMakeLists.txt compiles such a file with its set's -m flags
// and names the set in VORKA_ISA_UNIT; a file built any other way, or whose
// compiler ignored a flag, stops here instead of compiling into code narrower
// than its row of the instruction-set table promises.
#pragma once

#include "engine/cpu/isa_ladder.hpp"

#if defined(VORKA_ISA_UNIT)
#define VORKA_ISA_UNIT_TARGETED_ VORKA_ISA_TARGETED(VORKA_ISA_UNIT)
#else
#define VORKA_ISA_UNIT_TARGETED_ 0
#endif
#if !VORKA_ISA_UNIT_TARGETED_
#error "a *_<set>.cpp file must be compiled by CMakeLists.txt, which passes -m<feature> for each feature of <set> in engine/cpu/isa_ladder.hpp"
#endif
