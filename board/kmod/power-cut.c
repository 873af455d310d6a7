// Exact power cuts for the board's power-cut campaign, built into the CFI
// command-set-0001 driver that drives qemu's NOR flash.  setup.sh includes
// this file into cfi_cmdset_0001.c and calls board_flash_operation() at the
// start of each of the driver's flash operations: do_write_oneword,
// do_write_buffer and do_erase_oneblock.
//
// Module parameter cut_at=K: at the start of the K-th flash operation of
// this boot the board is reset at once with emergency_restart(): RAM is
// lost and nothing is synced, while the flash keeps every operation that
// completed before, as after a power cut between two flash operations.
// cut_at=0 (the default) never cuts.
//
// At a restart or power-off the driver prints what this boot did, as runs
// of consecutive operations of one kind on one erase block:
//   "flash operations: N"
//   "flash ops FIRST-LAST: KIND at 0xBLOCK"
// so the campaign knows which operations a boot does and where they land.

#include <linux/atomic.h>
#include <linux/moduleparam.h>
#include <linux/reboot.h>

static unsigned long cut_at;
module_param(cut_at, ulong, 0444);
MODULE_PARM_DESC(cut_at, "Reset the board at the start of this flash operation of the boot (1-based; 0: never)");

#define BOARD_OP_RUNS 512
#define BOARD_BLOCK_MASK (~0x3ffffUL)   /* 256 KiB erase blocks */

struct board_op_run {
	unsigned long first, last, block;
	const char *kind;
};
static struct board_op_run board_runs[BOARD_OP_RUNS];
static unsigned long board_run_count;
static unsigned long board_operations;
static DEFINE_SPINLOCK(board_op_lock);

static void board_flash_operation(const char *kind, unsigned long adr)
{
	struct board_op_run *run;
	unsigned long n, flags;

	spin_lock_irqsave(&board_op_lock, flags);
	n = ++board_operations;
	run = board_run_count ? &board_runs[board_run_count - 1] : NULL;
	if (run && run->kind == kind && run->block == (adr & BOARD_BLOCK_MASK) && run->last == n - 1) {
		run->last = n;
	} else if (board_run_count < BOARD_OP_RUNS) {
		run = &board_runs[board_run_count++];
		run->first = run->last = n;
		run->block = adr & BOARD_BLOCK_MASK;
		run->kind = kind;
	}
	spin_unlock_irqrestore(&board_op_lock, flags);
	if (cut_at && n == cut_at) {
		pr_emerg("power cut: before flash operation %lu (%s at 0x%lx)\n", n, kind, adr);
		emergency_restart();
	}
}

static int board_report_operations(struct notifier_block *nb, unsigned long action, void *data)
{
	unsigned long i;

	pr_emerg("flash operations: %lu\n", board_operations);
	for (i = 0; i < board_run_count; i++)
		pr_emerg("flash ops %lu-%lu: %s at 0x%lx\n", board_runs[i].first, board_runs[i].last,
			 board_runs[i].kind, board_runs[i].block);
	return NOTIFY_DONE;
}

static struct notifier_block board_reboot_notifier = {
	.notifier_call = board_report_operations,
};

static int __init board_power_cut_init(void)
{
	return register_reboot_notifier(&board_reboot_notifier);
}

static void __exit board_power_cut_exit(void)
{
	unregister_reboot_notifier(&board_reboot_notifier);
}

module_init(board_power_cut_init);
module_exit(board_power_cut_exit);
