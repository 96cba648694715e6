// Every entry runs inside `guarded`: whatever C++ exception escapes a body
// becomes a Python exception, and a panic report names the entry.
#include "boundary/call.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace kelto::boundary {
namespace {

/// Standard error of the calls made while it lives, read back as text.
class CapturedStderr {
public:
    CapturedStderr() : file_{std::tmpfile()}, saved_{::dup(STDERR_FILENO)} {
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~CapturedStderr() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::fclose(file_);
    }
    std::string text() {
        std::string out;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) out += static_cast<char>(c);
        return out;
    }

private:
    std::FILE* file_;
    int saved_;
};

/// The pending exception's str(), clearing it.
std::string pending_text() {
    Owned exc = Owned::steal(PyErr_GetRaisedException());
    Owned text = Owned::steal(PyObject_Str(exc.get()));
    return PyUnicode_AsUTF8(text.get());
}

template <class Throw>
std::string report_of(Throw&& throw_it, PyObject* expected_type, std::string_view expected_text) {
    CapturedStderr err;
    PyObject* result = guarded({"Cmp", "__new__"}, [&]() -> PyObject* { throw_it(); return Py_None; },
                               static_cast<PyObject*>(nullptr));
    EXPECT_EQ(result, nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(expected_type));
    EXPECT_EQ(pending_text(), expected_text);
    return err.text();
}

TEST(Guarded, UnexpectedStdExceptionEndsInThePanicException) {
    const std::string report = report_of([] { throw std::runtime_error("broken invariant"); },
                                         panic_exception_type(), "broken invariant");
    EXPECT_NE(report.find("panicked at Cmp.__new__:\nbroken invariant\n"), std::string::npos) << report;
}

TEST(Guarded, ForeignExceptionEndsInThePanicException) {
    const std::string report = report_of([] { throw 42; }, panic_exception_type(),
                                         "native code failed with an unknown C++ exception");
    EXPECT_NE(report.find("panicked at Cmp.__new__:\n"), std::string::npos) << report;
}

TEST(Guarded, PanicNamesEntryAndSourceLine) {
    const std::string report = report_of([] { panic("checked"); }, panic_exception_type(), "checked");
    EXPECT_NE(report.find("panicked at Cmp.__new__ ("), std::string::npos) << report;
    EXPECT_NE(report.find("guarded_test.cpp:"), std::string::npos) << report;
}

TEST(Guarded, ValueTooLargeIsMemoryError) {
    const std::string report =
        report_of([] { throw std::length_error("too long"); }, PyExc_MemoryError, "too long");
    EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace kelto::boundary

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_Initialize();
    const int rc = RUN_ALL_TESTS();
    Py_FinalizeEx();
    return rc;
}
