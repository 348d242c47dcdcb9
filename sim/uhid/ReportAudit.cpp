#include "sim/uhid/ReportAudit.h"

#include "sim/uhid/ProtocolText.h"

bool ReportAudit::Note(const SimFirmware& firmware, const std::uint8_t* report, std::size_t size) {
    const Kind kind{{size, size ? report[0] : 0u}, firmware.Mode()};
    m_bFirst = m_Plugged[kind]++ == 0;
    const bool right = firmware.TakesReport(report, size);
    if (!right) {
        ++m_Mismatches[kind];
    }
    return right;
}

std::string ReportAudit::PluggedSummary() const {
    return m_Plugged.empty() ? "none" : Describe(m_Plugged, false);
}

std::string ReportAudit::TakeMismatches() {
    const std::string text = Describe(m_Mismatches, true);
    m_Mismatches.clear();
    return text;
}

std::string ReportAudit::Describe(const std::map<Kind, unsigned>& counts, bool withMode) {
    std::string text;
    for (const auto& [kind, count] : counts) {
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " of " +
                std::to_string(kind.first.first) + " bytes with report number " +
                Hex(kind.first.second, 2) +
                (withMode ? " in mode " + std::to_string(kind.second) : std::string());
    }
    return text;
}
