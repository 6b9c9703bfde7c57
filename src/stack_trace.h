#pragma once
// Cheap capture of return addresses; names, files and lines are resolved only when printed.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct stack_frame {
    std::wstring function;
    std::wstring file;
    std::uintptr_t address = 0;
    std::uintptr_t symbol_address = 0;
    std::uint32_t displacement = 0;
    std::uint32_t line = 0;
};

class stack_trace {
public:
    // Captures the caller's stack; the constructor itself is not part of it.
    stack_trace();

    void resolve() const;
    void print(FILE* stream) const;
    const std::vector<stack_frame>& frames() const;

private:
    mutable std::vector<std::uintptr_t> addresses_;
    mutable std::vector<stack_frame> frames_;
};

std::wstring format_frame(const stack_frame& frame);
