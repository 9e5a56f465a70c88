# Linked into a program or library, this marks it as prepared for
# instrumentation. The section is not loaded and must not be empty: the
# linker drops empty sections.
	.pushsection .annotate,"",@progbits
	.byte 0
	.popsection
# Without this note the linker would make the stack of the program executable.
	.section .note.GNU-stack,"",@progbits
