// The editor's command ids. They keep the numbers the commands have always had, so the string table,
// the command table and the tests all speak of the same command.
#pragma once

namespace brindle {

enum CommandId : int {
    // File and help commands.
    kCmdOpen = 57601,
    kCmdSave = 57603,
    kCmdClose = 57602,
    kCmdSaveAs = 57604,
    kCmdAbout = 57664,
    kCmdExit = 57665,
    // Undo and redo of the edits.
    kCmdUndo = 57643,
    kCmdRedo = 57644,
    // Playback, selection and links.
    kCmdSite = 33068,
    kCmdStop = 33114,
    kCmdSetStart = 33118,
    kCmdSetEnd = 33119,
    kCmdSelectAll = 33120,
    kCmdPlay = 33131,
    kCmdPause = 33132,
    kCmdDeselect = 33133,
    kCmdTessaly = 33136,
    // The waveform's zoom.
    kCmdZoomIn = 33141,
    kCmdZoomOut = 33142,
    kCmdZoomWhole = 33143,
    // Selection edges snap to where cuts keep an MP3's frames.
    kCmdSnapToFrames = 33144,
    // Times typed in a dialog, the keys window, looping and the picture's vertical zoom.
    kCmdSetSelection = 33145,
    kCmdGoTo = 33146,
    kCmdKeys = 33147,
    kCmdLoopSelection = 33148,
    kCmdZoomInVertical = 33149,
    kCmdZoomOutVertical = 33150,
    // The edit panel.
    kCmdDeleteSelected = 1000,
    kCmdDeleteUnselected = 1001,
    kCmdFadeIn = 1002,
    kCmdFadeOut = 1003,
    kCmdChangeVolume = 1004,
    kCmdIncreaseVolume = 1005,
    kCmdToMono = 1006,
    kCmdToStereo = 1007,
    // The clipboard, and silence.
    kCmdCut = 57635,
    kCmdCopy = 57634,
    kCmdPaste = 57637,
    kCmdInsertSilence = 1008,
    // Loudness.
    kCmdNormalizeLoudness = 1009,
    kCmdSoundProperties = 1010,
};

}  // namespace brindle
