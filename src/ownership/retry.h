#pragma once

#include <QString>

namespace ownership {

// How the user tries again once a refusal is dealt with: the window's START button, or the
// command line run anew. The front end that asks says which; the sentences stay here.
enum class Retry { PressStart, RunAgain };

// The end of a refusal's advice: "press START again" or "run it again".
inline QString retryPhrase(Retry retry) {
    return retry == Retry::RunAgain ? QStringLiteral("run it again")
                                    : QStringLiteral("press START again");
}

}  // namespace ownership
