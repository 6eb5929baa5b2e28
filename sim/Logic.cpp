#include "sim/Logic.h"

namespace vsim {

namespace {

bool OperandValue(unsigned operand, uint8_t inputs, uint8_t outputs) {
    if (operand < 8) {
        return ((inputs >> operand) & 1u) != 0;
    }
    return ((outputs >> (operand - 8)) & 1u) != 0;
}

bool Combine(unsigned operation, bool a, bool b) {
    switch (operation) {
        case 0:
            return a && b;
        case 1:
            return a || b;
        default:
            return a != b;
    }
}

}  // namespace

bool EvaluateLogic(const std::vector<uint8_t>& code, uint8_t inputs, uint8_t outputs, bool* ok) {
    auto fail = [ok]() {
        if (ok != nullptr) {
            *ok = false;
        }
        return false;
    };
    std::vector<bool> stack;
    stack.reserve(code.size());
    for (const uint8_t byte : code) {
        const unsigned operation = byte >> 6;
        const bool bit5 = (byte & 0x20) != 0;
        const bool inverted = (byte & 0x10) != 0;
        const unsigned operand = byte & 0x0F;
        if (operation == 3) {
            bool value;
            if (bit5) {
                if (operand != 0) {
                    return fail();
                }
                value = true;
            } else {
                if (operand == 15) {
                    return fail();
                }
                value = OperandValue(operand, inputs, outputs);
            }
            stack.push_back(value != inverted);
            continue;
        }
        if (stack.empty()) {
            return fail();
        }
        bool other;
        if (operand == 15) {
            if (stack.size() < 2) {
                return fail();
            }
            const bool top = stack.back();
            stack.pop_back();
            other = stack.back() != inverted;  // the value below the top
            stack.back() = top;
        } else {
            other = OperandValue(operand, inputs, outputs) != inverted;
        }
        const bool result = Combine(operation, stack.back(), other);
        stack.back() = result != bit5;
    }
    if (code.empty()) {
        if (ok != nullptr) {
            *ok = true;
        }
        return false;
    }
    if (stack.size() != 1) {
        return fail();
    }
    if (ok != nullptr) {
        *ok = true;
    }
    return stack.back();
}

bool IsWellFormedLogic(const std::vector<uint8_t>& code) {
    bool ok = false;
    EvaluateLogic(code, 0, 0, &ok);
    return ok;
}

}  // namespace vsim
