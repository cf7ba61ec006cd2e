#pragma once

#include <stdexcept>
#include <string>

// The failures that the stand-ins for streams, files and conversions raise. Callers catch `Exception` to take
// every one of them, the way the command handlers log "Error: " and the message.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string Message() const { return what(); }
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
    EFCreateError(const std::string& message, int error) : EStreamError(message), error_(error) {}
    // The system's error number behind the failure, 0 where there is none.
    int ErrorNumber() const { return error_; }

private:
    int error_ = 0;
};

class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// Why a path cannot be taken through its symbolic links (see FollowPermittedLinks): the reason alone, for the
// caller to put into its own message about the file.
class ELinkError : public Exception {
public:
    using Exception::Exception;
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Work given up on request rather than for a failure: the program is ending (a termination signal).
class EAborted : public Exception {
public:
    using Exception::Exception;
};
