#include "update/engine/unpack_stage.hpp"

#include "common/byte_buffer.hpp"
#include "common/file_system.hpp"
#include "common/lzma2_codec.hpp"
#include "common/paths.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/manifests.hpp"
#include "update/documents/update_task.hpp"
#include "update/engine/decoder_budget.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/game_launcher.hpp"
#include "update/engine/thread_team.hpp"
#include "update/engine/unpack_leftovers.hpp"

#include <array>
#include <cstring>
#include <mutex>
#include <thread>

namespace qz4 {

namespace {

// Programs and scripts: the update formats carry no file modes, yet a client installed on
// a POSIX system must be able to start them.
bool looks_like_program(const std::array<std::uint8_t, 4>& start) {
    const bool script = start[0] == '#' && start[1] == '!';
    const bool elf = std::memcmp(start.data(),
                                 "\x7F"
                                 "ELF",
                                 4) == 0;
    return script || elf;
}

// What one worker of the stage owns; touched only by its own thread.
struct unpack_slot {
    byte_buffer buffer;     // serves the check of every file the worker places
    digest_context digests; // set to each file's kinds before it is checked
};

class unpack_stage {
public:
    explicit unpack_stage(pass_context& context)
        : launcher_(context.launcher), files_(context.launcher.files()), splash_(context.splash),
          state_(context.state), leftovers_(context.leftovers), budget_(unpack_decoder_budget) {}

    // Runs the workers, one of them on the calling thread, and returns when all have ended.
    void run() {
        run_on_threads(unpack_workers(launcher_.connections), [this] { worker_body(); });
    }

private:
    void worker_body() noexcept {
        try {
            unpack_slot slot;
            while (auto next = next_task())
                process(slot, next);
        } catch (...) {
            // Out of memory: the files still queued are not installed, and the pass says so.
            ++state_.unpack_failures;
        }
        // A worker waiting for work must see that this one ended: the stage is over for all.
        state_.unpack_wake.raise();
    }

    [[nodiscard]] bool must_stop() const {
        return state_.abort_unpacks || state_.failure_limit_reached() || splash_.is_closed();
    }

    // Empty when this worker is to end: the stage stops, or nothing more comes.
    queued_task next_task() {
        for (;;) {
            if (must_stop())
                return {};
            if (auto next = state_.unpack_queue.pop()) {
                // One raise wakes one waiting worker; it may take the next file.
                if (!state_.unpack_queue.empty())
                    state_.unpack_wake.raise();
                return next;
            }
            // The download stage has been joined before this is set: nothing more comes but
            // a retry another worker puts back, which is that worker's own to take.
            if (state_.downloads_done)
                return state_.unpack_queue.pop();
            state_.unpack_wake.wait();
        }
    }

    void process(unpack_slot& slot, queued_task& next) {
        const std::shared_ptr<update_task>& shared = next.task;
        update_task& task = *shared;
        show_unpacking_if_due();
        files_.create_directories(parent_directory(task.target_path));
        const bool installed = install(slot, task, std::move(next.checked_download));
        if (installed) {
            const nlohmann::json digest = task.local_sha1;
            state_.note_placed(task.target_path);
            launcher_.file_cache.store(task.local_path, task.target_path, &digest);
            if (task.is_self) {
                // Read by the run once this stage is joined, which orders it before the read.
                state_.self_update_task = task;
                state_.self_update_ready = true;
            }
            files_.delete_file(task.download_path);
            return;
        }
        if (task.attempts < launcher_.max_attempts) {
            // The download stays for the next attempt, after the tasks already waiting.
            ++task.attempts;
            state_.unpack_queue.push(shared);
            state_.unpack_wake.raise();
            return;
        }
        launcher_.add_unpack_error(task.local_path);
        ++state_.unpack_failures;
        files_.delete_file(task.download_path);
    }

    // Files unpacked while downloads still run leave the bar to the download stage.
    void show_unpacking_if_due() {
        const std::lock_guard lock(splash_mutex_);
        if (state_.phase != progress_phase::downloads_finished)
            return;
        splash_.set_progress(0, 0);
        splash_.set_status_text(localized_text(text_id::unpacking_files));
    }

    // A download checked on its way in and held since goes in through its handle; a later
    // attempt (its move was refused) opens and checks the file again.
    bool install(unpack_slot& slot, const update_task& task,
                 std::unique_ptr<file_to_place> checked_download) {
        if (task.pack_format == pack_format_none && checked_download)
            return place_checked(*checked_download, task);
        if (task.pack_format == pack_format_none)
            return move_into_place(slot, task.download_path, task);
        bool ok = false;
        if (task.pack_format == pack_format_lzma2)
            ok = unpack(task) && move_into_place(slot, task.unpack_path, task);
        // A placed copy has left its name already: only a failed one can still stand there.
        if (!files_.delete_file(task.unpack_path) && !ok && is_regular_file(task.unpack_path))
            state_.unpacked_copy_stays = true;
        return ok;
    }

    // The output may never exceed the size the index gives, and a header that declares
    // another size, or a dictionary beyond the decoder's limit, is refused before a byte is
    // decoded or any memory is taken.
    bool unpack(const update_task& task) {
        const auto facts = read_packed_facts(task.download_path);
        if (!facts || facts->declared != std::uint64_t{task.local_size} ||
            facts->decoder_memory > lzma2_default_memory_limit)
            return false;
        if (leftovers_ != nullptr)
            leftovers_->note_unpacking();
        const decoder_budget::reservation memory = budget_.reserve(facts->decoder_memory);
        return unpack_to_file(files_, task.download_path, task.unpack_path, task.local_size) ==
               lzma2_result::ok;
    }

    bool place_checked(file_to_place& file, const update_task& task) {
        std::array<std::uint8_t, 4> start{};
        for (std::size_t got = 0; got < start.size();) {
            const auto read = file.read_some(start.data() + got, start.size() - got);
            if (!read)
                return false;
            if (*read == 0)
                break;
            got += *read;
        }
        if (looks_like_program(start))
            files_.mark_executable(task.download_path);
        return file.move_over(task.target_path);
    }

    // The digest is taken through the handle the file is then moved through: whoever may
    // write in the game's folder cannot swap the file between its check and its rename.
    bool move_into_place(unpack_slot& slot, const std::wstring& from, const update_task& task) {
        const checked_file checked = open_checked(files_, from, task, slot.digests, slot.buffer);
        if (!checked.file)
            return false;
        if (looks_like_program(checked.start))
            files_.mark_executable(from);
        return checked.file->move_over(task.target_path);
    }

    game_launcher& launcher_;
    file_operations& files_;
    splash_view& splash_;
    pass_state& state_;
    unpack_leftovers* leftovers_;
    decoder_budget budget_;   // shared by the workers; its own lock
    std::mutex splash_mutex_; // orders the workers' splash calls
};

} // namespace

std::uint32_t unpack_workers(std::uint32_t connections) {
    return plan_unpack_workers(connections, std::thread::hardware_concurrency());
}

void unpack_worker(pass_context& context) noexcept {
    try {
        if (!context.splash.is_closed()) {
            unpack_stage stage(context);
            stage.run();
        }
    } catch (...) {
        // Out of memory for the stage itself: nothing is installed, and the pass says so.
        ++context.state.unpack_failures;
    }
    context.state.phase = progress_phase::unpacks_finished;
}

} // namespace qz4
