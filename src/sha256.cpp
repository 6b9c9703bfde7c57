// SHA-256 through CNG: a provider handle, a hash handle made from it, and the hasher over both.

#include "sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "agent.h"
#include "system_libraries.h"

namespace {

std::uintptr_t as_number(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

// CNG is loaded when the first digest is made: only the banner and the service commands need one.
constexpr wchar_t cng_library[] = L"bcrypt.dll";

struct cng_functions {
    decltype(&BCryptOpenAlgorithmProvider) open_algorithm_provider =
        SYSTEM_PROCEDURE(cng_library, BCryptOpenAlgorithmProvider);
    decltype(&BCryptCloseAlgorithmProvider) close_algorithm_provider =
        SYSTEM_PROCEDURE(cng_library, BCryptCloseAlgorithmProvider);
    decltype(&BCryptGetProperty) get_property = SYSTEM_PROCEDURE(cng_library, BCryptGetProperty);
    decltype(&BCryptCreateHash) create_hash = SYSTEM_PROCEDURE(cng_library, BCryptCreateHash);
    decltype(&BCryptDestroyHash) destroy_hash = SYSTEM_PROCEDURE(cng_library, BCryptDestroyHash);
    decltype(&BCryptHashData) hash_data = SYSTEM_PROCEDURE(cng_library, BCryptHashData);
    decltype(&BCryptFinishHash) finish_hash = SYSTEM_PROCEDURE(cng_library, BCryptFinishHash);
};

const cng_functions& cng() {
    static const cng_functions functions;
    return functions;
}

class algorithm_handle {
public:
    algorithm_handle() {
        NTSTATUS status = cng().open_algorithm_provider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        if (status != 0)
            throw system_exception(AGENT_HERE, L"BCryptOpenAlgorithmProvider", static_cast<std::uint32_t>(status));
        LOG_TRACE(L"algorithm_handle: open handle: handle=0x%x", as_number(handle_));
    }
    algorithm_handle(const algorithm_handle&) = delete;
    algorithm_handle& operator=(const algorithm_handle&) = delete;
    ~algorithm_handle() {
        if (handle_ == nullptr) return;
        LOG_TRACE(L"algorithm_handle: close handle: handle=0x%x", as_number(handle_));
        cng().close_algorithm_provider(handle_, 0);
    }

    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

DWORD get_dword_property(const algorithm_handle& algorithm, const wchar_t* property, const wchar_t* call) {
    DWORD value = 0;
    ULONG size = 0;
    NTSTATUS status = cng().get_property(algorithm.get(), property, reinterpret_cast<PUCHAR>(&value), sizeof value,
                                        &size, 0);
    if (status != 0) throw system_exception(AGENT_HERE, call, static_cast<std::uint32_t>(status));
    return value;
}

class hash_algorithm_handle {
public:
    explicit hash_algorithm_handle(const algorithm_handle& algorithm) {
        DWORD object_length =
            get_dword_property(algorithm, BCRYPT_OBJECT_LENGTH, L"BCryptGetProperty(BCRYPT_OBJECT_LENGTH)");
        object_.assign(object_length, 0);
        DWORD digest_length =
            get_dword_property(algorithm, BCRYPT_HASH_LENGTH, L"BCryptGetProperty(BCRYPT_HASH_LENGTH)");
        if (digest_length != sizeof(sha256_digest)) LOG_FATAL_AND_EXIT(L"sha256 hash length not 32");
        NTSTATUS status = cng().create_hash(algorithm.get(), &handle_, object_.data(),
                                           static_cast<ULONG>(object_.size()), nullptr, 0, 0);
        if (status != 0) throw system_exception(AGENT_HERE, L"BCryptCreateHash", static_cast<std::uint32_t>(status));
        LOG_TRACE(L"hash_algorithm_handle: open handle: handle=0x%x", as_number(handle_));
    }
    hash_algorithm_handle(const hash_algorithm_handle&) = delete;
    hash_algorithm_handle& operator=(const hash_algorithm_handle&) = delete;
    // The hash object lives in object_, so the handle must go before the buffer does.
    ~hash_algorithm_handle() {
        if (handle_ == nullptr) return;
        LOG_TRACE(L"hash_algorithm_handle: close handle: handle=0x%x", as_number(handle_));
        cng().destroy_hash(handle_);
    }

    BCRYPT_HASH_HANDLE get() const { return handle_; }

private:
    std::vector<UCHAR> object_;
    BCRYPT_HASH_HANDLE handle_ = nullptr;
};

}  // namespace

// Members are destroyed in reverse order: the hash handle first, then the provider it came from.
class hasher::impl {
public:
    algorithm_handle algorithm;
    hash_algorithm_handle hash{algorithm};
};

hasher::hasher() : impl_(std::make_unique<impl>()) {}
hasher::~hasher() = default;

void hasher::update(const void* data, std::uint32_t length) {
    HANDLE hash = impl_->hash.get();
    LOG_TRACE(L"hasher: BCryptHashData: handle=0x%x data=0x%x length=%u", as_number(hash), as_number(data), length);
    // CNG takes a non-const pointer but only reads the input.
    NTSTATUS status = cng().hash_data(hash, static_cast<PUCHAR>(const_cast<void*>(data)), length, 0);
    if (status != 0) throw system_exception(AGENT_HERE, L"BCryptHashData", static_cast<std::uint32_t>(status));
}

sha256_digest hasher::finish() {
    sha256_digest digest{};
    NTSTATUS status = cng().finish_hash(impl_->hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    if (status != 0) throw system_exception(AGENT_HERE, L"BCryptFinishHash", static_cast<std::uint32_t>(status));
    return digest;
}

std::wstring to_hex(const sha256_digest& digest) {
    static constexpr wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}
