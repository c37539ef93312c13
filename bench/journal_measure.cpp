// Measures the journal of unsaved edits (not a test: it times things and prints sizes).
//
//   journal_measure SOUND.wav [RUNS]   (the stores and the journal go to $TMPDIR, or /var/tmp)
//
// 1. The journal's size after 100 edits of SOUND (ranges spread over the whole sound, every kind),
//    and the time of each journal write (written beside, flushed, renamed, the folder flushed).
// 2. A recovery of five edits made to SOUND (claiming the journal, reading it, checking the source,
//    loading it, checking the edits and replaying them) against opening SOUND and making the same
//    five edits, as a person's commands would once the person has chosen them. Median of RUNS (3).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "document/document.h"
#include "document/edit_journal.h"
#include "storage/temp_files.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using brindle::EditKind;
using brindle::EditRequest;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "journal_measure: %s\n", what);
    std::exit(1);
}

// 100 edits as a long session might leave them: short ranges anywhere, a few whole-sound ones.
std::vector<EditRequest> HundredEdits(int64_t frames)
{
    std::vector<EditRequest> edits;
    const EditKind kinds[] = {EditKind::FadeIn, EditKind::FadeOut, EditKind::ChangeVolume, EditKind::IncreaseVolume,
                              EditKind::DeleteSelected};
    for (int i = 0; i < 100; ++i) {
        const int64_t at = (frames / 2) * (i % 37) / 37 + 12345 * i;
        edits.push_back({kinds[i % 5], at, at + 44100 + 997 * i, 50 + i});
    }
    edits[10] = {EditKind::ToMono};
    edits[20] = {EditKind::ToStereo};
    return edits;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        Fail("usage: journal_measure SOUND.wav [RUNS]");
    const fs::path sound = fs::absolute(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const fs::path folder = fs::path(brindle::TempDirectory()) / ("journal-measure-" + std::to_string(::getpid()));

    {
        brindle::EditJournal journal;
        if (!journal.Open(folder))
            Fail("cannot make the journal folder");
        brindle::Document document;
        document.SetJournal(&journal);
        if (!document.Load(sound))
            Fail("cannot load the sound");
        std::vector<double> writes;
        for (const EditRequest& edit : HundredEdits(document.ActiveBuffer().FrameCount())) {
            if (!document.Edit(edit))
                Fail("an edit failed");
            // The same write again, alone, to time it.
            brindle::JournalRecord record{document.SourcePath(), *document.SourceIdentityRead(), document.AppliedEdits()};
            const auto start = Clock::now();
            journal.Write(record);
            writes.push_back(Since(start) * 1000);
        }
        std::printf("journal after %zu edits: %ju bytes; a write takes %.2f ms (median), %.2f ms at most\n",
                    document.AppliedEdits().size(), uintmax_t(fs::file_size(journal.Path())), Median(writes),
                    *std::max_element(writes.begin(), writes.end()));
        document.Reset();
    }

    const std::vector<EditRequest> five = {
        {EditKind::DeleteSelected, 44100 * 60, 44100 * 660},        // ten minutes cut out
        {EditKind::FadeIn, 0, 44100 * 30},                          // the first 30 s faded in
        {EditKind::ChangeVolume, 44100 * 600, 44100 * 1800, 140},   // twenty minutes louder
        {EditKind::FadeOut, 44100 * 2500, 44100 * 2580},            // the end faded out
        {EditKind::IncreaseVolume, -1, -1},                         // the whole to full scale
    };
    std::vector<double> byHand, recovery;
    for (int run = 0; run < runs; ++run) {
        {
            const auto start = Clock::now();
            brindle::Document document;
            if (!document.Load(sound))
                Fail("cannot load the sound");
            for (const EditRequest& edit : five)
                if (!document.Edit(edit))
                    Fail("an edit failed");
            byHand.push_back(Since(start));
        }
        {
            brindle::EditJournal dead;
            if (!dead.Open(folder))
                Fail("cannot make the journal folder");
            brindle::JournalRecord written;
            written.source = sound;
            std::string reason;
            if (brindle::ReadSourceIdentity(sound, written.identity, reason) != brindle::SourceCheck::Same)
                Fail(reason.c_str());
            written.edits = five;
            dead.Write(written);
        }  // its editor is gone
        const auto start = Clock::now();
        std::vector<brindle::OrphanJournal> orphans = brindle::ClaimOrphanJournals(folder);
        if (orphans.size() != 1)
            Fail("no journal to recover");
        brindle::JournalRecord record;
        std::string reason;
        if (!orphans[0].Read(record, reason) ||
            brindle::CheckSource(record.source, record.identity, reason) != brindle::SourceCheck::Same)
            Fail(reason.c_str());
        brindle::EditJournal journal;
        journal.Open(folder);
        brindle::Document document;
        document.SetJournal(&journal);
        if (!document.Load(record.source))
            Fail("cannot load the sound");
        if (!brindle::CheckEdits(record.edits, document.ActiveBuffer().FrameCount(),
                                 document.ActiveBuffer().channels.ChannelCount(), reason))
            Fail(reason.c_str());
        for (const EditRequest& edit : record.edits)
            if (!document.Edit(edit))
                Fail("an edit failed");
        orphans[0].Delete();
        recovery.push_back(Since(start));
        document.Reset();
    }
    std::printf("five edits of %s: open and edit %.2f s, recover %.2f s (median of %d)\n", sound.filename().c_str(),
                Median(byHand), Median(recovery), runs);
    std::error_code error;
    fs::remove_all(folder, error);
    return 0;
}
