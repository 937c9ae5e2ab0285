from zemo_etl.cli import console_main

# Guarded so that importing the module (stubtest, documentation tools) runs nothing.
if __name__ == "__main__":
    console_main()
