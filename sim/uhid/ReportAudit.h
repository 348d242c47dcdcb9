// What the virtual receiver checks of every output report it gets.
#pragma once

#include "sim/SimFirmware.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

// ReportAudit holds every output report the host writes against the layout of the
// receiver's mode at that moment (SimFirmware: its length and report number), and counts
// the reports by kind: since the receiver was last plugged in, for the log, and, for
// those not of the mode's layout, since the driver of a run last asked.
class ReportAudit {
public:
    // Notes a report written to the firmware in its present mode; false when the report
    // is not of that mode's layout.
    bool Note(const SimFirmware& firmware, const std::uint8_t* report, std::size_t size);
    // Whether this is the first report of its kind since the receiver was plugged in.
    bool FirstOfItsKind() const { return m_bFirst; }
    // Starts the counts of a receiver plugged in afresh.
    void Plugged() { m_Plugged.clear(); }
    // The counts since the receiver was plugged in, e.g. "2 of 64 bytes with report
    // number 0x81"; "none" when there were none.
    std::string PluggedSummary() const;
    // The reports not of the mode's layout since the last call, e.g. "3 of 65 bytes with
    // report number 0x81 in mode 1"; empty when every report was right. Starts anew.
    std::string TakeMismatches();

private:
    // A report's length, report number and the mode it came in.
    using Kind = std::pair<std::pair<std::size_t, unsigned>, int>;
    static std::string Describe(const std::map<Kind, unsigned>& counts, bool withMode);

    std::map<Kind, unsigned> m_Plugged;
    std::map<Kind, unsigned> m_Mismatches;
    bool m_bFirst = false;
};
