// Scripted answers and the call journal, shared by every library function:
//
//   Call call(__func__, {{"camera", as_value(camera)}});
//   if (auto* s = call.scripted()) { s->write("name", name); return s->result<int>(); }
//   ... the function's own behaviour ...
#pragma once

#include <cstdint>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <QuorvexEmulator/Control.h>
#include <QuorvexSDK/QxHandles.h>

namespace qx_emulator {

using Arguments = std::vector<std::pair<std::string, Value>>;

// Guards the scripts and the journal; held briefly, taking no other lock but the log's.
std::mutex& scripting_mutex();

template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};

template <class T>
struct is_unique_ptr : std::false_type {};
template <class T>
struct is_unique_ptr<std::unique_ptr<T>> : std::true_type {};

template <class T>
struct is_shared_ptr : std::false_type {};
template <class T>
struct is_shared_ptr<std::shared_ptr<T>> : std::true_type {};

// A callback taking one number, such as an upgrade's progress report.
template <class T>
struct is_callback : std::false_type {};
template <class A>
struct is_callback<std::function<void(A)>> : std::bool_constant<std::is_arithmetic_v<A>> {
    using argument = A;
};

// A camera handle appears as the camera's index, an empty handle as nothing.
Value as_value(const std::shared_ptr<QxCamera>& camera);
Value as_value(const std::string& text);

// The first `count` bytes at `data`, or nothing when `data` is null.
Value as_bytes(const unsigned char* data, std::size_t count);

template <class T>
Value as_value(const T& value) {
    if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return static_cast<std::int64_t>(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<double>(value);
    } else {
        static_assert(std::is_trivially_copyable_v<T>, "no journal form for this argument type");
        return std::string(reinterpret_cast<const char*>(&value), sizeof(T));
    }
}

// The script answering one call: writes its out-values and gives its result.
class ScriptedAnswer {
public:
    ScriptedAnswer(const char* function, Script script);

    // Writes the scripted value of out-parameter `name` into `out`, if the script names it. A
    // record pointer takes the record's exact bytes (a new record replaces the old one) or
    // nothing (the pointer is emptied). A callback is "written" by calling it with each number
    // of a scripted list in order, unless it is empty; what it throws propagates.
    template <class T>
    void write(const char* name, T& out);

    // Like write, through a pointer that may be null: then the value is checked and taken but
    // written nowhere.
    template <class T>
    void write_through(const char* name, T* out);

    // Copies the scripted bytes of `name` to `destination`, which holds `capacity` bytes (more
    // bytes than that are a script error); a null destination takes the value without writing it.
    void write_bytes(const char* name, unsigned char* destination,
                     std::size_t capacity = std::numeric_limits<std::size_t>::max());

    // The scripted return value. Throws std::invalid_argument when the script names an
    // out-parameter that was never written, or gives a result of the wrong kind.
    template <class T>
    T result();

    const std::optional<std::string>& exception() const { return script_.exception; }

private:
    const Value* take(const char* name);
    void check_all_written() const;
    [[noreturn]] void wrong_kind(const std::string& what, const Value& value, const char* expected) const;
    std::shared_ptr<QxCamera> camera_result() const;

    const char* function_;
    Script script_;
    std::set<std::string> written_;
};

// One call of a library function: journals its arguments and takes the next script queued
// for it, if any.
class Call {
public:
    Call(const char* function, Arguments arguments);

    // The script answering this call, or nullptr. Throws std::runtime_error with the
    // script's message when the script asks for an exception.
    ScriptedAnswer* scripted();

private:
    std::optional<ScriptedAnswer> answer_;
};

template <class T>
void ScriptedAnswer::write(const char* name, T& out) {
    const Value* value = take(name);
    if (value == nullptr) return;
    const std::string what = std::string("out-parameter '") + name + "'";
    if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        const auto* number = std::get_if<std::int64_t>(value);
        if (number == nullptr) wrong_kind(what, *value, "an integer");
        out = static_cast<T>(*number);
    } else if constexpr (std::is_floating_point_v<T>) {
        if (const auto* real = std::get_if<double>(value)) out = static_cast<T>(*real);
        else if (const auto* number = std::get_if<std::int64_t>(value)) out = static_cast<T>(*number);
        else wrong_kind(what, *value, "a number");
    } else if constexpr (std::is_same_v<T, std::string>) {
        const auto* bytes = std::get_if<std::string>(value);
        if (bytes == nullptr) wrong_kind(what, *value, "bytes");
        out = *bytes;
    } else if constexpr (std::is_same_v<T, std::vector<std::string>> || std::is_same_v<T, std::vector<float>>) {
        // An empty list carries no element kind, so it fits either list type.
        using Other = std::conditional_t<std::is_same_v<T, std::vector<float>>, std::vector<std::string>,
                                         std::vector<float>>;
        const auto* other = std::get_if<Other>(value);
        if (const auto* list = std::get_if<T>(value)) out = *list;
        else if (other != nullptr && other->empty()) out.clear();
        else wrong_kind(what, *value, std::is_same_v<T, std::vector<float>> ? "a list of floats" : "a list of bytes");
    } else if constexpr (is_vector<T>::value) {
        using Record = typename T::value_type;
        static_assert(std::is_trivially_copyable_v<Record>, "no scripted form for this out-parameter type");
        const auto* list = std::get_if<std::vector<std::string>>(value);
        const auto* numbers = std::get_if<std::vector<float>>(value);
        if (list == nullptr && (numbers == nullptr || !numbers->empty())) wrong_kind(what, *value, "a list of bytes");
        T records(list == nullptr ? 0 : list->size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::string& bytes = (*list)[i];
            if (bytes.size() != sizeof(Record)) {
                throw std::invalid_argument(std::string(function_) + ": " + what + " item " + std::to_string(i) +
                                            " needs exactly " + std::to_string(sizeof(Record)) +
                                            " bytes, the script gives " + std::to_string(bytes.size()));
            }
            std::memcpy(static_cast<void*>(&records[i]), bytes.data(), sizeof(Record));
        }
        out = std::move(records);
    } else if constexpr (is_unique_ptr<T>::value) {
        using Record = typename T::element_type;
        static_assert(std::is_trivially_copyable_v<Record>, "no scripted form for this out-parameter type");
        if (std::holds_alternative<std::monostate>(*value)) {
            out.reset();
            return;
        }
        const auto* bytes = std::get_if<std::string>(value);
        if (bytes == nullptr) wrong_kind(what, *value, "bytes or nothing");
        if (bytes->size() != sizeof(Record)) {
            throw std::invalid_argument(std::string(function_) + ": " + what + " needs exactly " +
                                        std::to_string(sizeof(Record)) + " bytes, the script gives " +
                                        std::to_string(bytes->size()));
        }
        auto record = std::make_unique<Record>();
        std::memcpy(static_cast<void*>(record.get()), bytes->data(), sizeof(Record));
        out = std::move(record);
    } else if constexpr (is_callback<T>::value) {
        using Argument = typename is_callback<T>::argument;
        const auto* numbers = std::get_if<std::vector<float>>(value);
        const auto* others = std::get_if<std::vector<std::string>>(value);
        if (numbers == nullptr && (others == nullptr || !others->empty()))
            wrong_kind(what, *value, "a list of numbers");
        if (numbers == nullptr) return;
        if constexpr (std::is_integral_v<Argument>) {
            for (const float number : *numbers) {
                if (number != std::trunc(number)) {
                    throw std::invalid_argument(std::string(function_) + ": " + what +
                                                " must hold whole numbers, the script gives " +
                                                std::to_string(number));
                }
            }
        }
        if (!out) return;
        const auto report = [&] {
            for (const float number : *numbers) out(static_cast<Argument>(number));
        };
        if (!script_.callbackThread) return report();
        // As a library with a worker thread would: the call waits while another thread reports.
        std::exception_ptr failure;
        std::thread worker([&] {
            try {
                report();
            } catch (...) {
                failure = std::current_exception();
            }
        });
        worker.join();
        if (failure) std::rethrow_exception(failure);
    } else {
        static_assert(std::is_trivially_copyable_v<T>, "no scripted form for this out-parameter type");
        const auto* bytes = std::get_if<std::string>(value);
        if (bytes == nullptr) wrong_kind(what, *value, "bytes");
        if (bytes->size() != sizeof(T)) {
            throw std::invalid_argument(std::string(function_) + ": " + what + " needs exactly " +
                                        std::to_string(sizeof(T)) + " bytes, the script gives " +
                                        std::to_string(bytes->size()));
        }
        std::memcpy(static_cast<void*>(&out), bytes->data(), sizeof(T));
    }
}

template <class T>
void ScriptedAnswer::write_through(const char* name, T* out) {
    T ignored{};
    write(name, out != nullptr ? *out : ignored);
}

template <class T>
T ScriptedAnswer::result() {
    check_all_written();
    if constexpr (std::is_void_v<T>) {
        return;
    } else if constexpr (std::is_same_v<T, std::shared_ptr<QxCamera>>) {
        return camera_result();
    } else if constexpr (is_shared_ptr<T>::value) {
        // Only the library creates other handles, so a script can hand out none of them.
        if (!std::holds_alternative<std::monostate>(script_.result))
            wrong_kind("the result", script_.result, "nothing (an empty handle)");
        return nullptr;
    } else {
        static_assert(std::is_integral_v<T> || std::is_enum_v<T>, "no scripted form for this result type");
        const auto* number = std::get_if<std::int64_t>(&script_.result);
        if (number == nullptr) wrong_kind("the result", script_.result, "an integer");
        return static_cast<T>(*number);
    }
}

}  // namespace qx_emulator
