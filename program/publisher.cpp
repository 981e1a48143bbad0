#include "program/publisher.h"

#include "camera/cameratexts.h"
#include "conversion/modernheader.h"
#include "fits/realtext.h"
#include "program/console.h"
#include "program/texts.h"

#include <cerrno>
#include <utility>

#include <unistd.h>

namespace {

bool noRoomError(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

// A finished unit gives back the room its file or plane takes, so that an earlier unit can be
// written: it fails as its own write would have failed for want of room, with `error`.
void giveBackRoom(Unit& unit, int error)
{
    unit.holdsRoom = false;
    if (unit.output) {
        unit.output->discard();
        unit.written = false;
        unit.fileMessages.clear();
        unit.writeCause = writeFailed(unit.fileMessages, unit.output->name(), error).cause();
    } else if (unit.cube) {
        unit.cube->dropPlane(unit.kind == Unit::Kind::packedImage ? unit.image : unit.fileIndex);
        unit.result = writeFailed(unit.messages, unit.cube->name(), error);
        unit.writeCause = unit.result.cause();
    }
}

// The cube's header ended with END, filling exactly the room kept for it: blank cards stand
// for the cards it kept room for and did not need.
void endInRoom(Header& header, const CubeWriter& writer)
{
    const auto blocksFor = [](int64_t cards) { return (cards + cardsPerBlock - 1) / cardsPerBlock; };
    while (blocksFor(header.cardsBeforePlace() + 1) * blockLength < writer.headerRoom())
        header.addCommentCard("", "");
    header.addEndCard();
}

// The table of the planes behind a --modern cube. Its planes count as written once it is renamed
// into place, for the tally as it is then at `after`; until then they count as passed.
Result finishCube(RunTally& tally, CubeBuild& cube, bool modern, int64_t after, Messages& messages)
{
    addTimeAxis(cube.header, cube.records);
    endInRoom(cube.header, *cube.writer);
    Header table;
    std::string rows;
    if (modern)
        planeTable(cube.records, false, table, rows);
    CubeWriter& writer = *cube.writer;
    tally.renaming(writer.folderDescriptor(), writer.hiddenName().c_str(), cube.planes, after);
    Result finished = writer.finish(cube.header, modern ? &table : nullptr, rows, messages);
    tally.renamed(finished ? cube.planes : 0);
    // The planes before this one passed; this one is counted with the cube.
    if (finished)
        tally.unpass(cube.planes - 1);
    return finished;
}

// A published unit in the tally: its output, or its failure, and where the run now stands.
void tallied(RunTally& tally, const Unit& unit)
{
    if (unit.kind == Unit::Kind::packedFile) {
        if (unit.result)
            tally.addToTotal(unit.packed->count);
        else
            tally.failed();
        tally.passed();
    } else if (unit.hasOutput) {
        // A file renamed into place was counted then.
        if (!unit.written)
            tally.failed();
    } else if (!unit.result) {
        tally.failed();
    } else if (!unit.finishedCube) {
        tally.passed();
    }
    tally.at(unit.placeAfter);
}

// A unit's publishing, begun, and ended once the unit is counted or by an exception on the way.
class PublishingWindow {
public:
    explicit PublishingWindow(RunTally& tally) : tally_(tally) {}
    ~PublishingWindow() { end(); }
    PublishingWindow(const PublishingWindow&) = delete;
    PublishingWindow& operator=(const PublishingWindow&) = delete;
    void end()
    {
        if (std::exchange(open_, false))
            tally_.endPublishing();
    }

private:
    RunTally& tally_;
    bool open_ = true;
};

} // namespace

int errorNumberOf(const Result& written)
{
    if (written)
        return 0;
    return written.cause().category() == std::generic_category() ? written.cause().value() : EIO;
}

Publisher::Publisher(const RunSettings& settings, RunTally& tally, RunEnd& end)
    : settings_(settings), tally_(tally), end_(end)
{
    end.registerWait(mutex_, published_);
}

void Publisher::finished(std::unique_ptr<Unit> unit)
{
    std::unique_lock lock(mutex_);
    if (std::exchange(unit->writing, false)) {
        --writing_;
        published_.notify_all();
    }
    if (unit->sequence > last_)
        return;
    waiting_[unit->sequence] = std::move(unit);
    if (publishing_)
        return;
    publishing_ = true;
    bool ended = false;
    for (auto next = waiting_.find(next_); next != waiting_.end(); next = waiting_.find(next_)) {
        std::unique_ptr<Unit> turn = std::move(next->second);
        waiting_.erase(next);
        lock.unlock();
        const bool endsRun = publish(*turn);
        lock.lock();
        if (endsRun) {
            endAt(turn->sequence);
            ended = true;
        }
        ++next_;
        published_.notify_all();
    }
    publishing_ = false;
    lock.unlock();
    if (ended)
        end_.end();
}

void Publisher::endHere()
{
    {
        std::lock_guard lock(mutex_);
        endAt(-1);
    }
    end_.end();
}

bool Publisher::waitForRoom(int64_t sequence)
{
    std::unique_lock lock(mutex_);
    published_.wait(lock, [&] { return sequence - next_ < settings_.backlog || endedHere(); });
    return !endedHere();
}

int Publisher::writeInTurn(Unit& unit, const std::function<int()>& attempt)
{
    bool atTurn = false;
    {
        std::unique_lock lock(mutex_);
        if (short_) {
            atTurn = true;
            if (!waitForTurn(lock, unit.sequence, false))
                return ECANCELED;
        } else {
            ++writing_;
            unit.writing = true;
        }
    }
    const int error = attempt();
    if (!noRoomError(error))
        return error;
    std::unique_lock lock(mutex_);
    short_ = true;
    if (std::exchange(unit.writing, false)) {
        --writing_;
        published_.notify_all();
    }
    if (!waitForTurn(lock, unit.sequence, true))
        return error;
    return makeRoom(unit, atTurn ? error : attempt(), attempt);
}

// Until every unit before `sequence` is published (and, with `settled`, no write is under way);
// false when the run ends meanwhile.
bool Publisher::waitForTurn(std::unique_lock<std::mutex>& lock, int64_t sequence, bool settled)
{
    published_.wait(lock, [&] { return (next_ == sequence && (!settled || writing_ == 0)) || endedHere(); });
    return !endedHere();
}

// At `unit`'s turn: later units give back their room, the latest first, until `attempt` succeeds.
int Publisher::makeRoom(const Unit& unit, int error, const std::function<int()>& attempt)
{
    for (auto later = waiting_.rbegin(); noRoomError(error) && later != waiting_.rend(); ++later) {
        if (later->first <= unit.sequence || !later->second->holdsRoom)
            continue;
        giveBackRoom(*later->second, error);
        error = attempt();
    }
    return error;
}

void Publisher::endAt(int64_t sequence)
{
    last_ = sequence;
    waiting_.erase(waiting_.upper_bound(sequence), waiting_.end());
}

Result Publisher::finishRangeCube(int64_t after, Messages& messages)
{
    CubeBuild& cube = *rangeCube_;
    const bool modern = settings_.options.modern;
    messages.say(ProgramText::writingCube, cube.writer->name(), {cube.planes});
    Header& header = cube.header;
    for (int64_t k = 0; k < cube.planes; ++k)
        header.addCommentCard("HISTORY ", "PLANE " + std::to_string(k + 1) + " IS " + cube.planeName(k));
    // Planes of other objects, modes or filters are said, not hidden behind the first one's cards.
    for (const std::string& history : differingPlanes(cube.records, cube.writer->name(), messages))
        header.addCommentCard("HISTORY ", history);
    if (modern)
        header.setValueCard("NIMAGES", std::to_string(cube.planes), "NUMBER OF PLANES");
    // The observation of the cube spans its planes: it begins where the one that begins first
    // does, and ends where its file that ends last does, in every card.
    if (modern) {
        const PlaneRecord* earliest = nullptr;
        for (const PlaneRecord& record : cube.records)
            if (record.start && (!earliest || *record.start < *earliest->start))
                earliest = &record;
        if (earliest && earliest != &cube.records.front())
            replaceStartCards(header, *earliest->start);
    }
    if (modern && cube.last.hasEnd) {
        std::string end = quotedValue(cube.lastEnd);
        end.append(end.size() < 19 ? 19 - end.size() : 0, ' '); // laid out as the camera's card
        header.replaceValueCard("TIME-END", end, "END TIME OF OBSERVATION (UT)");
        replaceEndCards(header, cube.last);
    }
    return finishCube(tally_, cube, modern, after, messages);
}

Result Publisher::finishPackedCube(const PackedFile& packed, int64_t after, Messages& messages)
{
    return finishCube(tally_, *packed.cube, settings_.options.modern, after, messages);
}

// A log's row at its turn, written with the rows before it once a batch has come together: a log
// of a whole archive holds little in memory. False when the log cannot be written.
bool Publisher::publishRow(Unit& unit)
{
    rows_ += unit.row;
    ++rowsHeld_;
    rowsPlace_ = unit.placeAfter;
    logTimes_.add(unit.rowTimes);
    if (!unit.rowRead)
        ++tally_.summary.failedFiles;
    if (unit.rowShort)
        ++tally_.summary.shortFiles;
    constexpr std::size_t batch = 1 << 20;
    return rows_.size() < batch || flushLog();
}

Result Publisher::flushLog()
{
    // The heading declares the columns of times that have values in the first batch of rows.
    if (log_ && !headed_) {
        rows_.insert(0, logHeading(log_->format(), logTimes_));
        headed_ = true;
    }
    if (log_ && logWritten_ && !rows_.empty())
        logWritten_ = log_->write(rows_);
    rows_.clear();
    // Rows count as logged once they are written, as a signal's words then say.
    if (logWritten_ && rowsHeld_ > 0) {
        tally_.addDone(rowsHeld_);
        tally_.at(rowsPlace_);
    }
    rowsHeld_ = 0;
    return logWritten_;
}

// At the unit's turn: what it said is printed, its output renamed into place and counted; a
// failure ends the run there, or with --keep-going is counted and passed.
bool Publisher::publish(Unit& unit)
{
    // A signal is ending the process: what comes after it is not said, and no file is renamed.
    // Otherwise the signal's words wait until this unit is counted.
    if (!tally_.beginPublishing())
        for (;;)
            pause();
    PublishingWindow window(tally_);
    if (log_) {
        const bool written = publishRow(unit);
        window.end();
        progressLine().update(tally_.progressText());
        return !written;
    }
    RunTally::Summary& counts = tally_.summary;
    Messages& messages = unit.messages;
    if (unit.readBegun)
        ++counts.filesRead;
    counts.position = unit.placeAfter;
    if (unit.output) {
        if (unit.written) {
            tally_.renaming(unit.output->folderDescriptor(), unit.output->hiddenName().c_str(), 1, unit.placeAfter);
            unit.written = static_cast<bool>(unit.output->commit());
            tally_.renamed(unit.written ? 1 : 0);
        }
        messages.append(unit.fileMessages);
        if (!unit.written) {
            ++counts.failedWrites;
            if (unit.kind == Unit::Kind::file)
                counts.failedNames.push_back(unit.inputName);
        }
        unit.output.reset();
    }
    // A folder that can take nothing more ends the run, --keep-going or not: every later write
    // would fail the same way.
    const std::error_code& writeCause = unit.writeCause;
    const bool noRoom = !unit.written && writeCause.category() == std::generic_category()
        && (noRoomError(writeCause.value()) || writeCause == std::errc::read_only_file_system);
    // A plane of a cube that found no room is an image not written.
    if (noRoom && !unit.hasOutput)
        ++counts.failedWrites;
    if (unit.result && rangeCube_) {
        CubeBuild& cube = *rangeCube_;
        cube.records.push_back(unit.record);
        // The cube ends where the file that ends last does, were the files in no order of time.
        const ObservationTimes& times = unit.times;
        if (times.hasEnd && (!cube.last.hasEnd || times.endInstant() >= cube.last.endInstant())) {
            cube.last = times;
            cube.lastEnd = unit.timeEnd;
        }
        if (unit.last) {
            unit.result = finishRangeCube(unit.placeAfter, messages);
            unit.finishedCube = static_cast<bool>(unit.result);
        }
    }
    if (unit.result && unit.kind == Unit::Kind::packedImage && unit.packed->cube) {
        // Only the table of a --modern cube needs them: memory stays flat without.
        if (settings_.options.modern)
            unit.packed->cube->records.push_back(unit.record);
        if (unit.image == unit.packed->count - 1) {
            unit.result = finishPackedCube(*unit.packed, unit.placeAfter, messages);
            unit.finishedCube = static_cast<bool>(unit.result);
        }
    }
    bool endsRun = false;
    if (noRoom) {
        counts.stopped = counts.stoppedByWrite = true;
        counts.stoppedAt = unit.inputName;
        counts.notTried = unit.notTried;
        endsRun = true;
    } else if (!unit.result) {
        if (settings_.options.keepGoing) {
            ++counts.failedFiles;
            counts.failedNames.push_back(unit.inputName);
            if (unit.result.cause() == CameraText::packedRefused)
                counts.packedNames.push_back(unit.inputName);
        } else {
            counts.stopped = true;
            counts.stoppedAt = unit.inputName;
            counts.notTried = unit.notTried;
            endsRun = true;
        }
    }
    // The lines of a cube's planes named a cube that is now not written.
    const CubeBuild* cube = rangeCube_ ? rangeCube_.get() : unit.packed ? unit.packed->cube.get() : nullptr;
    if (endsRun && cube)
        counts.unwrittenCube = cube->writer->name();
    tallied(tally_, unit);
    window.end();
    print(messages);
    flushOutput();
    progressLine().update(tally_.progressText());
    return endsRun;
}
