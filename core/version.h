// The release both programs and the admin page report. The build reads the page's copy
// from this line, so it is the only place the number is written. A macro, so that fixed
// texts take it in by literal concatenation at no cost.
#pragma once

#define CINDERVOX_VERSION "1.0.6"
