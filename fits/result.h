#pragma once

#include <string>
#include <utility>

// How an operation of the libraries ended: done, or failed. A failure says whether the run can
// go on with its other inputs or must end, and why, for people; what the operation had to say
// on the way (the program's texts among it) is in the Messages it was given.
class Result {
public:
    Result() = default;
    // The input in hand cannot be used; a run may go on with its others.
    static Result failed(std::string reason = "") { return Result(Kind::failed, std::move(reason)); }
    // Nothing more can be done: the run ends.
    static Result fatal(std::string reason = "") { return Result(Kind::fatal, std::move(reason)); }

    bool ok() const { return kind_ == Kind::done; }
    explicit operator bool() const { return ok(); }
    bool endsRun() const { return kind_ == Kind::fatal; }
    const std::string& reason() const { return reason_; }

private:
    enum class Kind { done, failed, fatal };
    Result(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}

    Kind kind_ = Kind::done;
    std::string reason_;
};
