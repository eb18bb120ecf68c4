// The "sos" setting: second-order IIR sections, run as a cascade whose state
// carries from one piece of samples to the next.
#include <optional>
#include <vector>

#include "waveform.hpp"

namespace velk {

std::optional<std::vector<SosSection>> sos_from_setting(const Json& setting) {
    if (!setting.is_array() || setting.empty()) return std::nullopt;
    std::vector<SosSection> sections;
    for (const Json& element : setting) {
        if (!element.is_array()) return std::nullopt;
        if (element.size() != 6) continue;
        double c[6];
        for (std::size_t i = 0; i < 6; ++i) {
            const std::optional<double> number = json_number(element[i]);
            if (!number) return std::nullopt;
            c[i] = *number;
        }
        sections.push_back(SosSection{c[0], c[1], c[2], c[3], c[4], c[5]});
    }
    if (sections.empty()) return std::nullopt;
    return sections;
}

SosCascade::SosCascade(const std::vector<SosSection>& sections) {
    stages_.reserve(sections.size());
    for (const SosSection& sec : sections) {
        if (sec.a0 == 0.0) continue;
        stages_.push_back(Stage{sec.b0 / sec.a0, sec.b1 / sec.a0, sec.b2 / sec.a0,
                                sec.a1 / sec.a0, sec.a2 / sec.a0});
    }
}

// Sections go through the samples two at a time: the second takes each sample
// from the first as soon as it is out, so the two dependency chains overlap.
// Each section still sees the same input sequence, step for step.
void SosCascade::filter(std::span<double> samples) {
    std::size_t s = 0;
    for (; s + 1 < stages_.size(); s += 2) {
        Stage& first = stages_[s];
        Stage& second = stages_[s + 1];
        // Coefficients and state in locals, which the samples cannot alias.
        const SectionStep one{first.b0, first.b1, first.b2, first.a1, first.a2};
        const SectionStep two{second.b0, second.b1, second.b2, second.a1, second.a2};
        double z1 = first.z1, z2 = first.z2, w1 = second.z1, w2 = second.z2;
        for (double& x : samples) x = two(one(x, z1, z2), w1, w2);
        first.z1 = z1;
        first.z2 = z2;
        second.z1 = w1;
        second.z2 = w2;
    }
    if (s < stages_.size()) {
        Stage& last = stages_[s];
        const SectionStep one{last.b0, last.b1, last.b2, last.a1, last.a2};
        double z1 = last.z1, z2 = last.z2;
        for (double& x : samples) x = one(x, z1, z2);
        last.z1 = z1;
        last.z2 = z2;
    }
}

}  // namespace velk
