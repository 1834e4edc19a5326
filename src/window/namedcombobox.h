#pragma once

namespace window {

// On Linux Qt gives a combo box its current text as its accessible name and leaves the caption
// to the labelled-by relation, which screen readers do not all follow. Once this is called, a
// combo box with an accessible name is announced by that name, its current text as its value.
void nameComboBoxesByAccessibleName();

}  // namespace window
