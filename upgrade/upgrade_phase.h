#ifndef KT62_UPGRADE_PHASE_H
#define KT62_UPGRADE_PHASE_H

// Where a run stands, worked out from the engine's state, so that its users
// never need to read its (translated) status texts. Apart from the engine so
// that reports and events can name a phase without the engine.
enum class UpgradePhase
{
    Idle,       // no run
    Querying,   // waiting for the device's answer to the query
    CheckDone,  // a version check got its answer; its owner ends the run
    Erasing,    // the erase was asked for; waiting for its end
    Transfer,   // the image goes out block by block
    Completion, // end of transmission sent; waiting for the result
};

#endif
