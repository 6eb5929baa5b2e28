// The instrument's evaluator for channel logic code.
#pragma once

#include <cstdint>
#include <vector>

namespace vsim {

// Evaluates a channel's logic code on an evaluation stack. Each byte is one
// instruction:
//   bits 7-6  operation: 11 load (push), 00 and, 01 or, 10 exclusive or
//   bit 5     load: constant (high; with bit 4 low); combining: invert result
//   bit 4     operand inverted
//   bits 3-0  operand: 0-7 in1..in8 (bit k of `inputs`), 8-14 outA..outG
//             (bit k-8 of `outputs`); 15, in a combining byte only, the
//             value below the top: both are popped and their combination
//             pushed.
// A combining byte with operand 0-14 replaces the top with the combination
// of the top and that operand.
//
// Empty code is a channel without logic and evaluates to low.
// A malformed program (a combining byte with nothing to combine, more or
// less than one value left at the end, operand 15 in a load, a constant
// load with an operand other than 0) evaluates to low and sets *ok to
// false; otherwise *ok is set to true.
bool EvaluateLogic(const std::vector<uint8_t>& code, uint8_t inputs, uint8_t outputs,
                   bool* ok = nullptr);

// True when the code is a well-formed program (empty code included).
bool IsWellFormedLogic(const std::vector<uint8_t>& code);

}  // namespace vsim
