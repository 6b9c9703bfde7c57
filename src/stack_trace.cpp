// Stack capture with RtlCaptureStackBackTrace, resolution through DbgHelp with the symbols
// expected beside the executable.

#include "stack_trace.h"

#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

#include <mutex>

#include "agent.h"
#include "agent_home.h"
#include "fileio.h"
#include "system_libraries.h"

namespace {

constexpr ULONG max_frames = 1000;

// DbgHelp is loaded only when a trace is printed. Without it (or without symbols) every frame falls
// back to "<function>" and "<file>".
struct symbol_engine {
    HANDLE process = nullptr;
    decltype(&SymFromAddrW) from_address = nullptr;
    decltype(&SymGetLineFromAddrW64) line_from_address = nullptr;
};

// The symbol engine is not thread-safe: every call into it is made under this lock.
std::mutex& resolution_mutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

BOOL CALLBACK initialise_symbol_engine(PINIT_ONCE, PVOID parameter, PVOID*) {
    auto* engine = static_cast<symbol_engine*>(parameter);
    std::wstring search_path;
    try {
        search_path = parent_directory(get_running_exe_path());
    } catch (...) {
        // Without a search path DbgHelp still looks beside the module itself.
    }
    HANDLE process = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &process, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return FALSE;
    }
    engine->process = process;
    try {
        const wchar_t* const dbghelp = L"dbghelp.dll";
        auto set_options = SYSTEM_PROCEDURE(dbghelp, SymSetOptions);
        auto initialize = SYSTEM_PROCEDURE(dbghelp, SymInitializeW);
        auto from_address = SYSTEM_PROCEDURE(dbghelp, SymFromAddrW);
        auto line_from_address = SYSTEM_PROCEDURE(dbghelp, SymGetLineFromAddrW64);
        // A symbol path on a drive that is not ready must neither open a dialog nor wait for an answer
        // (a FATAL line may be printed in an interactive console).
        set_options(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS |
                    SYMOPT_NO_PROMPTS);
        // Not checked: without symbols every frame falls back to "<function>" and "<file>".
        initialize(process, search_path.empty() ? nullptr : search_path.c_str(), TRUE);
        engine->from_address = from_address;
        engine->line_from_address = line_from_address;
    } catch (...) {
        // A trace without names is still a trace.
    }
    return TRUE;
}

const symbol_engine& get_symbol_engine() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    static symbol_engine engine;
    if (!InitOnceExecuteOnce(&once, initialise_symbol_engine, &engine, nullptr)) {
        // A process that cannot even duplicate its own handle is beyond reporting.
        std::abort();
    }
    return engine;
}

stack_frame resolve_address(const symbol_engine& engine, std::uintptr_t address) {
    HANDLE process = engine.process;
    stack_frame frame;
    frame.address = address;

    alignas(SYMBOL_INFOW) unsigned char storage[sizeof(SYMBOL_INFOW) + 256 * sizeof(wchar_t)] = {};
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = 256;
    DWORD64 displacement64 = 0;
    if (engine.from_address != nullptr && engine.from_address(process, address, &displacement64, symbol)) {
        // NameLen is the full length of a name that was cut to fit MaxNameLen: the name is what was
        // written, up to its NUL.
        frame.function.assign(symbol->Name, wcsnlen(symbol->Name, symbol->MaxNameLen));
        frame.symbol_address = static_cast<std::uintptr_t>(symbol->Address);
        frame.displacement = static_cast<std::uint32_t>(displacement64);
    } else {
        frame.function = L"<function>";
        frame.symbol_address = address;
    }

    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD displacement32 = 0;
    if (engine.line_from_address != nullptr && engine.line_from_address(process, address, &displacement32, &line) &&
        line.FileName != nullptr) {
        frame.file = base_file_name(line.FileName);
        frame.line = line.LineNumber;
    } else {
        frame.file = L"<file>";
    }
    return frame;
}

}  // namespace

[[gnu::noinline]] stack_trace::stack_trace() {
    try {
        void* raw[max_frames];
        USHORT count = RtlCaptureStackBackTrace(0, max_frames, raw, nullptr);
        // How many frames belong to the capture itself differs between Windows and Wine (whose
        // walker starts one frame further out), so the trace starts at our own return address.
        USHORT first = 0;
        void* caller = __builtin_return_address(0);
        while (first < count && raw[first] != caller) ++first;
        if (first == count) first = 0;
        addresses_.reserve(count - first);
        for (USHORT i = first; i < count; ++i) addresses_.push_back(reinterpret_cast<std::uintptr_t>(raw[i]));
    } catch (...) {
        // A trace is a diagnostic aid: without memory the exception simply carries less.
    }
}

void stack_trace::resolve() const {
    if (!frames_.empty() || addresses_.empty()) return;
    std::lock_guard<std::mutex> lock(resolution_mutex());
    if (!frames_.empty()) return;
    const symbol_engine& engine = get_symbol_engine();
    std::vector<stack_frame> frames;
    frames.reserve(addresses_.size());
    for (std::uintptr_t address : addresses_) frames.push_back(resolve_address(engine, address));
    frames_ = std::move(frames);
    addresses_.clear();
    addresses_.shrink_to_fit();
}

const std::vector<stack_frame>& stack_trace::frames() const {
    resolve();
    return frames_;
}

void stack_trace::print(FILE* stream) const {
    for (const stack_frame& frame : frames()) {
        fwprintf(stream, L"\tat %ls\n", format_frame(frame).c_str());
    }
}

std::wstring format_frame(const stack_frame& frame) {
    return format_text(L"%s(%s:%u) - 0x%x=0x%x+%x", frame.function, frame.file, frame.line, frame.address,
                       frame.symbol_address, frame.displacement);
}
