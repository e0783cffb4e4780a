// SPDX-License-Identifier: BSD-2-Clause
// The configuration values as the module starts with them, for the fuzz
// targets that run the configuration reader again and again in one
// process: each run must begin where a new process would.
#pragma once

#include "quorlin_config.h"

namespace fuzz_config {

inline void reset_config_values() {
    using namespace quorlin;
    config_sample_rate = 2;
    config_voice = 0;
    config_pitch_baseline = config_pitch_fluctuation = config_speed = config_volume = -1;
    config_head_size = config_roughness = config_breathiness = -1;
    config_main_dict[0] = config_root_dict[0] = config_abbrev_dict[0] = '\0';
    config_phrase_prediction = config_dictionary = 0;
    config_number_mode = config_text_mode = config_real_world_units = -1;
    config_streaming = config_index_marks = config_faithful_text = 0;
}

}  // namespace fuzz_config
