.PHONY: all check demo clean
all:
	scripts/build
check:
	scripts/check
demo:
	scripts/demo
clean:
	rm -rf build
