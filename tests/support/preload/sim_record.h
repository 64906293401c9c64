/* What the preload library tells a test about a tuning program's run: one number per file
 * in /sim, named after the program. */
#ifndef SIM_RECORD_H
#define SIM_RECORD_H

/* True in chain-tuner and yellow-fixer, the programs under test. */
int is_tuning_program(void);
/* Writes the number to /sim/WHAT.PROGRAM, followed by a line break. */
void record_in_sim(const char* what, long value);

#endif
