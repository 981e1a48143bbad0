#pragma once

#include <string>
#include <system_error>
#include <utility>

// How an operation of the libraries ended: done, or failed. A failure says whether the run can
// go on with its other inputs or must end, what caused it (the system's error, or the text of
// the part that found it: see TextId), and why, for people; what the operation had to say on the
// way is in the Messages it was given.
class Result {
public:
    Result() = default;
    // The input in hand cannot be used; a run may go on with its others.
    static Result failed(std::error_code cause, std::string reason = "")
    {
        return Result(Kind::failed, cause, std::move(reason));
    }
    // Nothing more can be done: the run ends.
    static Result fatal(std::error_code cause, std::string reason = "")
    {
        return Result(Kind::fatal, cause, std::move(reason));
    }

    bool ok() const { return kind_ == Kind::done; }
    explicit operator bool() const { return ok(); }
    bool endsRun() const { return kind_ == Kind::fatal; }
    const std::error_code& cause() const { return cause_; }
    const std::string& reason() const { return reason_; }

private:
    enum class Kind { done, failed, fatal };
    Result(Kind kind, std::error_code cause, std::string reason)
        : kind_(kind), cause_(cause), reason_(std::move(reason))
    {
    }

    Kind kind_ = Kind::done;
    std::error_code cause_;
    std::string reason_;
};

// The system's error number as a failure's cause.
inline std::error_code systemCause(int error)
{
    return {error, std::generic_category()};
}
