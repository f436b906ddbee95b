/*
 * Protection from the out-of-memory killer (oom_score_adj -1000).
 */
#ifndef HOST_PROTECT_H
#define HOST_PROTECT_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Asks that the calling process be spared when memory runs out.  Returns 0
 * or -1 with errno (EACCES/EPERM without the privilege); callers may ignore
 * a refusal.  Only the first call that succeeds or is refused for want of
 * privilege touches /proc.
 */
int protect_self(void);

/*
 * Gives a process forked from a protected one the score it had before
 * protect_self(); does nothing if no protection was applied.
 */
void protect_restore(void);

#ifdef __cplusplus
}
#endif

#endif
