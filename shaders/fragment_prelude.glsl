// The head of the fragment stage. The host pastes the samples-per-pixel text
// straight after it, then a line break, then the body, so the directive
// below is finished at run time: SAMPLES becomes whatever the environment
// says, or 300.
#version 420
#define SAMPLES
