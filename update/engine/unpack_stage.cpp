#include "update/engine/unpack_stage.hpp"

#include "common/byte_buffer.hpp"
#include "common/lzma2_codec.hpp"
#include "common/paths.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/manifests.hpp"
#include "update/documents/update_task.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/game_launcher.hpp"

#include <array>
#include <cstring>

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

class unpack_stage {
public:
    explicit unpack_stage(pass_context& context)
        : launcher_(context.launcher), files_(context.launcher.files()), splash_(context.splash),
          state_(context.state) {}

    void run() {
        if (splash_.is_closed())
            return;
        for (;;) {
            if (state_.abort_unpacks || state_.failure_limit_reached())
                return;
            auto task = state_.unpack_queue.pop();
            if (!task) {
                // The download stage has been joined before this is set: nothing more comes.
                if (state_.downloads_done)
                    return;
                state_.unpack_wake.wait();
                if (splash_.is_closed())
                    return;
                continue;
            }
            process(task);
            if (splash_.is_closed())
                return;
        }
    }

private:
    void process(const std::shared_ptr<update_task>& shared) {
        update_task& task = *shared;
        // Files unpacked while downloads still run leave the bar to the download stage.
        if (state_.phase == progress_phase::downloads_finished) {
            splash_.set_progress(0, 0);
            splash_.set_status_text(localized_text(text_id::unpacking_files));
        }
        files_.create_directories(parent_directory(task.target_path));
        if (install(task)) {
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
            return;
        }
        launcher_.add_unpack_error(task.local_path);
        ++state_.unpack_failures;
        files_.delete_file(task.download_path);
    }

    bool install(const update_task& task) {
        if (task.pack_format == pack_format_none)
            return move_into_place(task.download_path, task);
        bool ok = false;
        if (task.pack_format == pack_format_lzma2)
            ok = unpack(task) && move_into_place(task.unpack_path, task);
        files_.delete_file(task.unpack_path);
        return ok;
    }

    // The output may never exceed the size the index gives, and a header that declares
    // another size is refused before a byte is decoded.
    bool unpack(const update_task& task) {
        if (read_packed_size(task.download_path) != std::uint64_t{task.local_size})
            return false;
        return unpack_to_file(files_, task.download_path, task.unpack_path, task.local_size) ==
               lzma2_result::ok;
    }

    // The digest is taken through the handle the file is then moved through: whoever may
    // write in the game's folder cannot swap the file between its check and its rename.
    bool move_into_place(const std::wstring& from, const update_task& task) {
        const checked_file checked = open_checked(files_, from, task, digests_, buffer_);
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
    byte_buffer buffer_;     // serves the check of every file of the stage
    digest_context digests_; // set to each file's kinds before it is checked
};

} // namespace

void unpack_worker(pass_context& context) noexcept {
    try {
        unpack_stage stage(context);
        stage.run();
    } catch (...) {
        // Out of memory: the files still queued are not installed, and the pass says so.
        ++context.state.unpack_failures;
    }
    context.state.phase = progress_phase::unpacks_finished;
}

} // namespace qz4
