// How many samples a SAMPLES text asks for, as the body's sample loop takes
// it: the loop runs while "m<SAMPLES", so the count is the first m at which
// that fails. Found bit by bit, from the top, in 31 steps, whatever the
// text; every pixel writes it, so a text that is not the same everywhere
// shows. Pasted after the program's own prelude and the text, as the body is.
out vec4 v;

void main()
{
    int c = 0;
    for (int b = 1 << 30; b > 0; b >>= 1) {
        int m = c + b - 1;
        if (m < SAMPLES)
            c += b;
    }
    v = vec4(c);
}
