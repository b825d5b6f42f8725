// A program that only burns processor time, for Corvane to restrain.
int main()
{
    volatile unsigned long counter = 0;
    for (;;)
        counter = counter + 1;
}
